// The RLE command loop: streams in, elements out, as tables.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "bmp/read/decode_rle.h"
#include "bmp/read/image_view.h"
#include "support/vector_check.h"

namespace tessaly {
namespace {

constexpr int F = -1;  // the fill pixel (palette entry 0) in expectations

PixelTable Table() {
    PixelTable t;
    for (std::uint32_t i = 0; i < 256; ++i) t[i] = 0xFF000000u | (i << 8) | 0x42;
    return t;
}

struct RleCase {
    const char* name;
    DecodeKind kind;
    std::size_t width, height;
    std::vector<std::uint8_t> stream;
    std::vector<int> head;  // expected entries of the first elements (stored order); the rest are fill
};

// `stream` decoded into a w x h image (stored rows bottom up or not) through a
// read buffer of `buffer` bytes; elements start as 0xDEADBEEF.
// A random stream of every command kind, mostly short runs as a photo's are,
// from `seed`: encoded runs (their colour bytes after the count), absolute
// runs with their pad bytes, ends of line and deltas.
std::vector<std::uint8_t> RandomStream(DecodeKind kind, std::uint32_t seed, std::size_t size) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> stream;
    while (stream.size() < size) {
        const unsigned pick = rng() % 32;
        if (pick < 20) {  // an encoded run, mostly short
            stream.push_back(static_cast<std::uint8_t>(1 + (pick < 17 ? rng() % 4 : rng() % 255)));
            for (int b = 0; b < (kind == DecodeKind::Rle24 ? 3 : 1); ++b) stream.push_back(static_cast<std::uint8_t>(rng()));
        } else if (pick < 28) {  // an absolute run and its pad byte
            const std::size_t n = 3 + (pick < 26 ? rng() % 8 : rng() % 253);
            const std::size_t bytes = kind == DecodeKind::Rle4 ? (n + 1) / 2 : kind == DecodeKind::Rle24 ? 3 * n : n;
            stream.insert(stream.end(), {0, static_cast<std::uint8_t>(n)});
            for (std::size_t b = 0; b < bytes + bytes % 2; ++b) stream.push_back(static_cast<std::uint8_t>(rng()));
        } else if (pick < 31) {
            stream.insert(stream.end(), {0, 0});  // end of line
        } else {
            stream.insert(stream.end(), {0, 2, static_cast<std::uint8_t>(rng() % 4), static_cast<std::uint8_t>(rng() % 2)});
        }
    }
    return stream;
}

std::vector<std::uint32_t> DecodeStream(DecodeKind kind, const std::vector<std::uint8_t>& stream, std::size_t w,
                                        std::size_t h, bool bottomUp, std::size_t buffer = 65536,
                                        StreamNotes* notes = nullptr) {
    std::vector<std::uint8_t> scratch(buffer);
    ByteReader in(MemorySource(stream), scratch);
    std::vector<std::uint32_t> out(w * h, 0xDEADBEEF);
    ImageRows rows(ImageView{out.data(), w, h});
    PixelSink<ImageRows> sink(rows, bottomUp);
    DecodeRle(kind, in, Table(), w, sink, notes);
    return out;
}

// Decodes top-down, so element p of the stream is element p of the image.
std::vector<std::uint32_t> Decode(const RleCase& c) { return DecodeStream(c.kind, c.stream, c.width, c.height, false); }

TEST(DecodeRle, StreamsToElements) {
    const RleCase cases[] = {
        {"rle8 run, end of line, run", DecodeKind::Rle8, 6, 2, {0x03, 0x05, 0x00, 0x00, 0x02, 0x07, 0x00, 0x01},
         {5, 5, 5, F, F, F, 7, 7}},
        {"rle8 delta", DecodeKind::Rle8, 6, 2, {0x01, 0x09, 0x00, 0x02, 0x02, 0x01, 0x01, 0x08, 0x00, 0x01},
         {9, F, F, F, F, F, F, F, F, 8}},
        {"rle8 run stops at the row end", DecodeKind::Rle8, 6, 2,
         {0x08, 0x05, 0x00, 0x00, 0x01, 0x07, 0x00, 0x01}, {5, 5, 5, 5, 5, 5, 7}},
        {"rle8 absolute run stops at the row end", DecodeKind::Rle8, 2, 2,
         {0x00, 0x03, 0x0A, 0x0B, 0x0C, 0x00, 0x00, 0x00, 0x01, 0x0D}, {10, 11, 13}},
        {"rle8 absolute run skips its pad byte", DecodeKind::Rle8, 6, 2,
         {0x00, 0x03, 0x0A, 0x0B, 0x0C, 0x00, 0x01, 0x0D, 0x00, 0x01}, {10, 11, 12, 13}},
        {"rle4 odd run", DecodeKind::Rle4, 8, 1, {0x03, 0x21, 0x00, 0x01}, {2, 1, 2}},
        {"rle4 run stops at the row end", DecodeKind::Rle4, 8, 2,
         {0x0A, 0x21, 0x00, 0x00, 0x02, 0x43, 0x00, 0x01}, {2, 1, 2, 1, 2, 1, 2, 1, 4, 3}},
        {"rle4 end of line fills", DecodeKind::Rle4, 8, 2,
         {0x02, 0x21, 0x00, 0x00, 0x01, 0x43, 0x00, 0x01}, {2, 1, F, F, F, F, F, F, 4}},
        {"rle4 absolute of 3, no pad", DecodeKind::Rle4, 8, 1,
         {0x00, 0x03, 0x65, 0x87, 0x01, 0x40, 0x00, 0x01}, {6, 5, 8, 4}},
        {"rle4 absolute of 5, one pad", DecodeKind::Rle4, 8, 1,
         {0x00, 0x05, 0x65, 0x87, 0xA9, 0x00, 0x01, 0xB0, 0x00, 0x01}, {6, 5, 8, 7, 10, 11}},
        {"empty stream", DecodeKind::Rle8, 4, 2, {}, {}},
        {"only end of bitmap", DecodeKind::Rle4, 4, 2, {0x00, 0x01}, {}},
        {"no end of bitmap", DecodeKind::Rle8, 4, 1, {0x02, 0x03}, {3, 3}},
        // Limits: nothing lands past the image, and decoding stops there.
        {"run past the last element", DecodeKind::Rle8, 4, 1, {0x06, 0x05, 0x01, 0x07}, {5, 5, 5, 5}},
        {"delta past the last row", DecodeKind::Rle8, 4, 2, {0x01, 0x01, 0x00, 0x02, 0x00, 0x05, 0x01, 0x02}, {1}},
        {"end of line past the height", DecodeKind::Rle8, 2, 1, {0x00, 0x00, 0x00, 0x00, 0x01, 0x09}, {}},
        {"a run after a delta past the right edge is dropped", DecodeKind::Rle8, 4, 2, {0x00, 0x02, 0x06, 0x00, 0x01, 0x03}, {}},
        {"a delta past the right edge leaves the next row in place", DecodeKind::Rle8, 4, 2,
         {0x02, 0x01, 0x00, 0x02, 0x05, 0x00, 0x00, 0x00, 0x02, 0x03, 0x00, 0x01}, {1, 1, F, F, 3, 3}},
        {"cut inside an absolute run", DecodeKind::Rle8, 4, 1, {0x00, 0x04, 0x01, 0x02}, {}},
        {"cut inside a delta", DecodeKind::Rle4, 4, 1, {0x01, 0x11, 0x00, 0x02, 0x01}, {1}},
        {"cut after a first byte", DecodeKind::Rle8, 4, 1, {0x01, 0x02, 0x05}, {2}},
        {"absolute without its pad byte at the end", DecodeKind::Rle8, 4, 1, {0x00, 0x03, 0x01, 0x02, 0x03}, {1, 2, 3}},
    };
    const PixelTable t = Table();
    for (const RleCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto out = Decode(c);
        for (std::size_t p = 0; p < out.size(); ++p) {
            const int entry = p < c.head.size() ? c.head[p] : F;
            EXPECT_EQ(out[p], t[entry == F ? 0 : static_cast<std::size_t>(entry)]) << "element " << p;
        }
    }
}

TEST(DecodeRle, Rle24RunsAndAbsoluteRuns) {
    // A run of 2 of (B,G,R) = (10,20,30); an absolute run of 3 triples and its pad byte; end of bitmap.
    const std::vector<std::uint8_t> stream = {0x02, 0x10, 0x20, 0x30, 0x00, 0x03, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x00, 0x00, 0x01};
    const std::vector<std::uint32_t> out = DecodeStream(DecodeKind::Rle24, stream, 6, 1, false);
    const std::vector<std::uint32_t> want = {0xFF302010u, 0xFF302010u, 0xFF030201u, 0xFF060504u, 0xFF090807u, Table()[0]};
    EXPECT_EQ(out, want);
}

TEST(DecodeRle, BottomUpStreamsLandTopRowFirst) {
    // Two rows of width 2: the stream's first row is the image's bottom row.
    const std::vector<std::uint8_t> stream = {0x02, 0x01, 0x00, 0x00, 0x02, 0x02, 0x00, 0x01};
    const std::vector<std::uint32_t> out = DecodeStream(DecodeKind::Rle8, stream, 2, 2, true);
    const PixelTable t = Table();
    EXPECT_EQ(out, (std::vector<std::uint32_t>{t[2], t[2], t[1], t[1]}));
}

TEST(DecodeRle, CommandsReadFromTheWindowDecodeAsThroughTake) {
    // Random streams of every command kind, decoded with a read buffer large
    // enough for the windowed path (and its stretches of short runs) and with
    // one too small for it (every command through Take): the two images, and
    // what each decoding noted, must be the same. Rows up to 9000 wide pass
    // the most pixels a stretch makes at once.
    std::mt19937 rng(21);
    for (const auto& [kind, small] : {std::pair{DecodeKind::Rle8, 257u}, {DecodeKind::Rle4, 129u}, {DecodeKind::Rle24, 767u}}) {
        for (int trial = 0; trial < 30; ++trial) {
            SCOPED_TRACE(std::to_string(int(kind)) + " trial " + std::to_string(trial));
            const std::size_t w = 1 + rng() % (trial < 20 ? 90 : 9000), h = 1 + rng() % 40;
            const std::vector<std::uint8_t> stream = RandomStream(kind, static_cast<std::uint32_t>(rng()), 20000);
            std::vector<std::vector<std::uint32_t>> images;
            StreamNotes notes[2];
            for (const std::size_t buffer : {std::size_t{65536}, std::size_t{small}})
                images.push_back(DecodeStream(kind, stream, w, h, true, buffer, &notes[images.size()]));
            EXPECT_EQ(images[0], images[1]);
            EXPECT_EQ(notes[0].runsCut, notes[1].runsCut);
            EXPECT_EQ(notes[0].deltasPastRow, notes[1].deltasPastRow);
            EXPECT_EQ(notes[0].row, notes[1].row);
            EXPECT_EQ(notes[0].offset, notes[1].offset);
            EXPECT_EQ(notes[0].pastImage, notes[1].pastImage);
            EXPECT_EQ(notes[0].endedEarly, notes[1].endedEarly);
            EXPECT_EQ(notes[0].trailing, notes[1].trailing);
        }
    }
}

TEST(DecodeRle, VectorStretchesMatchThePlainTwins) {
    // Stretches over a whole stream, each from where the last one's stopping
    // command ends, with budgets from one pixel to more than a row's worth:
    // what each takes (bytes and pixels) and the indices all of them make.
    for (const DecodeKind kind : {DecodeKind::Rle8, DecodeKind::Rle4}) {
        const auto& family = kind == DecodeKind::Rle8 ? rle::kRleStretch8 : rle::kRleStretch4;
        const std::vector<std::uint8_t> stream = RandomStream(kind, 3, 5000);
        SCOPED_TRACE(int(kind));
        test::ExpectVectorMatchesScalar(300, [&](std::size_t n, Simd level) {
            const std::size_t budget = 1 + n;
            std::vector<std::size_t> taken;
            std::vector<std::uint8_t> made, indices(budget + rle::kRleIndexSlack);
            for (std::size_t at = 0; at + rle::kRleReadAhead <= stream.size();) {
                const rle::RleStretch stretch =
                    family.At(level)(std::span<const std::uint8_t>(stream).subspan(at), budget, indices.data());
                taken.insert(taken.end(), {stretch.used, stretch.pixels});
                made.insert(made.end(), indices.begin(), indices.begin() + static_cast<std::ptrdiff_t>(stretch.pixels));
                at += stretch.used;
                // Past the command that stopped it.
                const std::size_t c = stream[at], s = stream[at + 1];
                const std::size_t bytes = kind == DecodeKind::Rle4 ? (s + 1) / 2 : s;
                at += c != 0 || s < 2 ? 2 : s == 2 ? 4 : 2 + bytes + bytes % 2;
            }
            return std::pair(taken, made);
        });
    }
}

TEST(DecodeRle, VectorExpandsMatchThePlainTwins) {
    PixelTable t;
    for (std::uint32_t i = 0; i < 256; ++i) t[i] = i * 0x9E3779B9u;  // every byte of every entry differs
    for (const bool nibbles : {false, true}) {
        SCOPED_TRACE(nibbles ? "nibble indices" : "byte indices");
        // Into memory at every alignment, with ordinary stores and with stores past the caches.
        test::ExpectVectorMatchesScalar(300, [&](std::size_t n, Simd level) {
            std::vector<std::uint8_t> indices(n);
            for (std::size_t i = 0; i < n; ++i) indices[i] = static_cast<std::uint8_t>((i * 167 + 13) % (nibbles ? 16 : 256));
            std::vector<std::uint32_t> out;
            for (const bool streamed : {false, true}) {
                alignas(64) std::uint32_t memory[300 + 16];
                const std::span<std::uint32_t> dst(memory + n % 16, n);
                (nibbles ? rle::kExpandNibbleIndices : rle::kExpandIndices).At(level)(indices, dst, t, streamed);
                out.insert(out.end(), dst.begin(), dst.end());
            }
            return out;
        });
    }
}

}  // namespace
}  // namespace tessaly
