// The palette indexer and the RLE8 encoder: lines and palettes as tables, and
// random lines through the encoder and our decoder.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "bmp/read/decode_rle.h"
#include "bmp/read/image_view.h"
#include "bmp/write/encode.h"
#include "support/vector_check.h"

namespace tessaly {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Encode(const Bytes& line) {
    Bytes out;
    EncodeRle8Line(line, out);
    return out;
}

// 1, 2, 3, ... with no two neighbours equal.
Bytes Literals(std::size_t n) {
    Bytes v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(1 + i % 200);
    return v;
}

// Literals(260): an absolute run of 254, then an absolute run of 5 with its pad
// byte, the last as a run of one, and the end of line.
Bytes LongLiterals() {
    const Bytes v = Literals(260);
    Bytes out = {0x00, 0xFE};
    out.insert(out.end(), v.begin(), v.begin() + 254);
    out.insert(out.end(), {0x00, 0x05});
    out.insert(out.end(), v.begin() + 254, v.begin() + 259);
    out.insert(out.end(), {0x00, 0x01, v[259], 0x00, 0x00});  // pad, run, end of line
    return out;
}

TEST(Rle8Encode, Lines) {
    Bytes three00(300, 9);
    Bytes seventeen(17);
    for (std::uint8_t i = 0; i < 17; ++i) seventeen[i] = static_cast<std::uint8_t>(i + 1);
    Bytes seventeenWant(20 + 2, 0);
    seventeenWant[1] = 0x10;
    for (std::size_t i = 0; i < 16; ++i) seventeenWant[2 + i] = seventeen[i];
    seventeenWant[18] = 0x01;
    seventeenWant[19] = 17;
    const struct {
        Bytes line, want;
    } cases[] = {
        {{5, 5, 5, 5, 7}, {0x03, 0x05, 0x01, 0x05, 0x01, 0x07, 0x00, 0x00}},
        {{1, 2, 3, 4, 5, 6}, {0x00, 0x05, 0x01, 0x02, 0x03, 0x04, 0x05, 0x00, 0x01, 0x06, 0x00, 0x00}},
        {{1, 2, 2}, {0x01, 0x01, 0x01, 0x02, 0x01, 0x02, 0x00, 0x00}},
        {{42}, {0x01, 42, 0x00, 0x00}},
        {{}, {0x00, 0x00}},
        {three00, {0xFE, 9, 0x2D, 9, 0x01, 9, 0x00, 0x00}},
        {seventeen, seventeenWant},
        {Literals(260), LongLiterals()},                                      // capped at 254, compared in words
        {Bytes{3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 4}, {0x09, 3, 0x01, 3, 0x01, 4, 0x00, 0x00}},  // a repeat past 8 bytes
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line.size());
        EXPECT_EQ(Encode(c.line), c.want);
    }
}

std::uint32_t Px(std::uint8_t b, std::uint8_t g, std::uint8_t r, std::uint8_t a) {
    return std::uint32_t{b} | std::uint32_t{g} << 8 | std::uint32_t{r} << 16 | std::uint32_t{a} << 24;
}

TEST(PaletteIndexer, ClassIsTheTopTwoBitsOfEachByte) {
    std::mt19937 rng(1);
    for (int i = 0; i < 10000; ++i) {
        const std::uint32_t p = static_cast<std::uint32_t>(rng());
        const unsigned want = (p >> 6 & 3) | (p >> 14 & 3) << 2 | (p >> 22 & 3) << 4 | (p >> 30 & 3) << 6;
        ASSERT_EQ(PaletteIndexer::ClassOf(p), want) << std::hex << p;
    }
}

TEST(PaletteIndexer, VectorClassesMatchTheScalarTwin) {
    test::ExpectVectorMatchesScalar(70, [](std::size_t n, Simd level) {
        std::mt19937 rng(static_cast<unsigned>(n));
        std::vector<std::uint32_t> px(n);
        for (auto& p : px) p = static_cast<std::uint32_t>(rng());
        Bytes classes(n);
        kClassifyRow.At(level)(px, classes);
        return classes;
    });
}

TEST(PaletteIndexer, ClassesAndFirstAppearance) {
    {
        PaletteIndexer ix;
        const std::vector<std::uint32_t> px(6, Px(0x80, 0x80, 0x80, 0xFF));
        ix.Learn(px);
        const auto& p = ix.Palette();
        EXPECT_EQ(Bytes(p.begin(), p.begin() + 8), (Bytes{0, 0, 0, 0, 0x80, 0x80, 0x80, 0xFF}));
        EXPECT_TRUE(std::all_of(p.begin() + 8, p.end(), [](std::uint8_t v) { return v == 0; }));
        EXPECT_EQ(ix.IndexOf(px[0]), 1);
    }
    {  // one class: the first pixel's bytes stand for both
        PaletteIndexer ix;
        const std::vector<std::uint32_t> px = {Px(0, 0, 0, 0xFF), Px(0x3F, 0x3F, 0x3F, 0xFF)};
        ix.Learn(px);
        EXPECT_EQ(ix.IndexOf(px[0]), 1);
        EXPECT_EQ(ix.IndexOf(px[1]), 1);
        EXPECT_EQ(ix.Count(), 1u);
        EXPECT_EQ(Bytes(ix.Palette().begin() + 4, ix.Palette().begin() + 8), (Bytes{0, 0, 0, 0xFF}));
    }
    {  // all bytes below 0x40: index 0, no entry
        PaletteIndexer ix;
        const std::vector<std::uint32_t> px = {Px(0x3F, 0x10, 0, 0x20)};
        ix.Learn(px);
        EXPECT_EQ(ix.IndexOf(px[0]), 0);
        EXPECT_EQ(ix.Count(), 0u);
    }
    {  // every colour: never more than 255 entries; opaque ones use at most 64
        PaletteIndexer all, opaque;
        std::vector<std::uint32_t> px;
        for (std::uint32_t v = 0; v < (1u << 24); v += 997) px.push_back(v | (v << 8 & 0xFF000000u));
        all.Learn(px);
        EXPECT_LE(all.Count(), 255u);
        for (auto& p : px) p |= 0xFF000000u;
        opaque.Learn(px);
        EXPECT_LE(opaque.Count(), 64u);
    }
}

TEST(Rle8Encode, ImagesAreEncodedFromTheBottomLineUp) {
    const std::uint32_t a = Px(0x80, 0x80, 0x80, 0xFF), b = Px(0xC0, 0x40, 0x40, 0xFF);
    const std::vector<std::uint32_t> px = {a, a, a,   // top line: entry 1 (met first)
                                           b, a, b};  // bottom line
    PaletteIndexer indexer;
    indexer.Learn(px);
    Bytes stream;
    ASSERT_TRUE(EncodeIndexedRle8(px, 3, 2, indexer, [&](std::span<const std::uint8_t> items) {
        stream.insert(stream.end(), items.begin(), items.end());
        return true;
    }));
    EXPECT_EQ(stream, (Bytes{0x01, 2, 0x01, 1, 0x01, 2, 0x00, 0x00,   // bottom: 2 1 2
                             0x02, 1, 0x01, 1, 0x00, 0x00}));         // top: 1 1 1
    int calls = 0;  // a refusing sink stops the encoding
    EXPECT_FALSE(EncodeIndexedRle8(px, 3, 2, indexer, [&](std::span<const std::uint8_t>) { return ++calls > 5; }));
    EXPECT_EQ(calls, 1);
}

TEST(Rle8Encode, RandomLinesDecodeBackToTheirIndices) {
    std::mt19937 rng(7);
    PixelTable identity;
    for (std::uint32_t i = 0; i < 256; ++i) identity[i] = i;
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t width = 1 + rng() % 700;
        Bytes line(width);
        // Runs of random lengths so encoded runs, literals and short stretches all occur.
        for (std::size_t x = 0; x < width;) {
            const std::size_t run = 1 + rng() % (rng() % 2 ? 3 : 300);
            const auto v = static_cast<std::uint8_t>(rng() % 5);
            for (std::size_t k = 0; k < run && x < width; ++k) line[x++] = rng() % 3 ? v : static_cast<std::uint8_t>(rng());
        }
        Bytes stream = Encode(line);
        stream.insert(stream.end(), {0x00, 0x01});
        std::vector<std::uint32_t> out(width, 0xFFFFFFFF);
        ImageRows rows(ImageView{out.data(), width, 1});
        PixelSink<ImageRows> sink(rows, false);
        std::vector<std::uint8_t> scratch(4096);
        ByteReader in(MemorySource(stream), scratch);
        DecodeRle(DecodeKind::Rle8, in, identity, width, sink);
        for (std::size_t x = 0; x < width; ++x) ASSERT_EQ(out[x], line[x]) << "trial " << trial << " x " << x;
    }
}

TEST(Rle8Encode, RowsEncodeAsTheirIndexLines) {
    // A row's line straight from its classes and repeat bits is the line of
    // its indices, on every vector level: runs past 254 and past word edges,
    // literal stretches past 254, single pixels between runs, rows of 1 to 900.
    std::mt19937 rng(11);
    const std::uint32_t colours[] = {Px(0x10, 0x20, 0x30, 0xFF), Px(0x90, 0x20, 0x30, 0xFF), Px(0x10, 0xA0, 0x30, 0xFF),
                                     Px(0x10, 0x20, 0xF0, 0xFF), Px(0xC0, 0xC0, 0xC0, 0x80)};
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t width = 1 + rng() % (trial < 100 ? 130 : 900);
        std::vector<std::uint32_t> row(width);
        for (std::size_t x = 0; x < width;) {
            const std::size_t length = 1 + rng() % (rng() % 3 == 0 ? 600 : 4);
            const bool noise = rng() % 3 == 0;
            const std::uint32_t c = colours[rng() % 5];
            for (std::size_t k = 0; k < length && x < width; ++k)
                row[x++] = noise ? static_cast<std::uint32_t>(rng()) : c;
        }
        for (const Simd level : AvailableSimd()) {
            SCOPED_TRACE("trial " + std::to_string(trial) + " level " + std::to_string(int(level)));
            PaletteIndexer indexer(level);
            indexer.Learn(row);
            Bytes indices(width), want(MaxRle8LineBytes(width)), got(MaxRle8LineBytes(width), 0xEE);
            indexer.IndexRow(row, indices);
            want.resize(EncodeRle8Line(indices, want.data()));
            Rle8Rows rows(width);
            got.resize(indexer.EncodeRowRle8(row, rows, got.data()));
            ASSERT_EQ(got, want);
            PaletteIndexer measuring(level);
            ASSERT_EQ(measuring.LearnMeasuringRle8(row, width, 1), want.size());
            ASSERT_EQ(measuring.Palette(), indexer.Palette());
        }
    }
}

TEST(PaletteIndexer, VectorSearchesForUnknownClassesMatchTheScalarTwin) {
    // Classes all known but one, placed at every position (or nowhere), in sets
    // that hold every class of each byte of the set but that one.
    test::ExpectVectorMatchesScalar(200, [](std::size_t n, Simd level) {
        std::vector<std::size_t> found;
        for (const std::uint8_t missing : {0, 7, 8, 100, 129, 255}) {
            ClassSet known{~0ull, ~0ull, ~0ull, ~0ull};
            known[missing / 64] &= ~(std::uint64_t{1} << (missing % 64));
            Bytes classes(n);
            for (std::size_t i = 0; i < n; ++i) classes[i] = static_cast<std::uint8_t>(missing + 1 + i % 255);
            found.push_back(kFindUnknown.At(level)(classes, known));
            if (n != 0) classes[n * 5 / 7] = missing;
            found.push_back(kFindUnknown.At(level)(classes, known));
        }
        return found;
    });
}

TEST(Rle8Encode, VectorRepeatBitsMatchTheScalarTwin) {
    test::ExpectVectorMatchesScalar(200, [](std::size_t n, Simd level) {
        Bytes line(n);
        for (std::size_t i = 0; i < n; ++i) line[i] = static_cast<std::uint8_t>((i * i / 7) % 3);  // runs and changes
        std::vector<std::uint64_t> bits(RepeatWords(n), 0x5555);
        kRepeatBits.At(level)(line, bits.data());
        return bits;
    });
}

}  // namespace
}  // namespace tessaly
