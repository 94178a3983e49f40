// The RLE command loop: streams in, elements out, as tables.
#include <gtest/gtest.h>

#include <vector>

#include "bmp/read/decode_rle.h"

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

// Decodes top-down, so element p of the stream is element p of the image.
std::vector<std::uint32_t> Decode(const RleCase& c) {
    std::vector<std::uint32_t> out(c.width * c.height, 0xDEADBEEF);
    ImageRows rows(ImageView{out.data(), c.width, c.height});
    PixelSink<ImageRows> sink(rows, false);
    ByteReader in(c.stream);
    DecodeRle(c.kind, in, Table(), c.width, sink);
    return out;
}

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
    std::vector<std::uint32_t> out(6, 0);
    ImageRows rows(ImageView{out.data(), 6, 1});
    PixelSink<ImageRows> sink(rows, false);
    ByteReader in(stream);
    DecodeRle(DecodeKind::Rle24, in, Table(), 6, sink);
    const std::vector<std::uint32_t> want = {0xFF302010u, 0xFF302010u, 0xFF030201u, 0xFF060504u, 0xFF090807u, Table()[0]};
    EXPECT_EQ(out, want);
}

TEST(DecodeRle, BottomUpStreamsLandTopRowFirst) {
    // Two rows of width 2: the stream's first row is the image's bottom row.
    const std::vector<std::uint8_t> stream = {0x02, 0x01, 0x00, 0x00, 0x02, 0x02, 0x00, 0x01};
    std::vector<std::uint32_t> out(4, 0);
    ImageRows rows(ImageView{out.data(), 2, 2});
    PixelSink<ImageRows> sink(rows, true);
    ByteReader in(stream);
    DecodeRle(DecodeKind::Rle8, in, Table(), 2, sink);
    const PixelTable t = Table();
    EXPECT_EQ(out, (std::vector<std::uint32_t>{t[2], t[2], t[1], t[1]}));
}

}  // namespace
}  // namespace tessaly
