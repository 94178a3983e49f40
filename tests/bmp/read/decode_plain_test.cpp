// Row kernels and the stride rule, on bytes built here.
#include <gtest/gtest.h>

#include "bmp/read/decode_plain.h"
#include "bmp/read/geometry.h"
#include "shell/cpu.h"
#include "support/vector_check.h"

namespace tessaly {
namespace {

TEST(Geometry, StrideTable) {
    struct Row {
        std::uint32_t width;
        std::uint64_t s1, s4, s8, s24;
    };
    const Row rows[] = {{1, 4, 4, 4, 4}, {5, 4, 4, 8, 16}, {7, 4, 4, 8, 24}, {9, 4, 8, 12, 28}, {33, 8, 20, 36, 100}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.width);
        EXPECT_EQ(RowStride(r.width, 1), r.s1);
        EXPECT_EQ(RowStride(r.width, 4), r.s4);
        EXPECT_EQ(RowStride(r.width, 8), r.s8);
        EXPECT_EQ(RowStride(r.width, 24), r.s24);
    }
    // 64-bit arithmetic: no wrap for the largest widths.
    EXPECT_EQ(RowStride(0xFFFFFFFFu, 32), 0x3FFFFFFFCull);
}

TEST(Geometry, PixelBufferBytesRefusesNegativeAndTooLarge) {
    EXPECT_EQ(PixelBufferBytes(3, 2), 24u);
    EXPECT_FALSE(PixelBufferBytes(-1, 2));
    EXPECT_FALSE(PixelBufferBytes(2, -1));
    EXPECT_EQ(PixelBufferBytes(0x3FFFFFFF, 1), 0xFFFFFFFCull);  // just below 2^32
    EXPECT_FALSE(PixelBufferBytes(0x40000000, 1));               // exactly 2^32
    EXPECT_FALSE(PixelBufferBytes(65536, 65536));
    EXPECT_EQ(Magnitude(INT32_MIN), 0x80000000u);
}

PixelTable DistinctTable() {
    PixelTable t;
    for (std::uint32_t i = 0; i < 256; ++i) t[i] = 0xFF000000u | i * 0x010203u;
    return t;
}

TEST(ExpandRow, IndexedDepthsReadPixelsInOrder) {
    const PixelTable t = DistinctTable();
    {  // 1 bit, 10 pixels: the MSB is the leftmost pixel; bits after pixel 9 ignored
        const std::uint8_t src[] = {0b10110001, 0b01111111};
        std::uint32_t dst[10];
        ByteTable1 bytes;
        MakeByteTable(t, bytes);
        ExpandIndexed1(src, dst, bytes);
        const int bits[10] = {1, 0, 1, 1, 0, 0, 0, 1, 0, 1};
        for (int x = 0; x < 10; ++x) EXPECT_EQ(dst[x], t[static_cast<std::size_t>(bits[x])]) << x;
    }
    {  // 4 bits, 7 pixels: high nibble first; pixel 6 from the high nibble of byte 3
        const std::uint8_t src[] = {0x12, 0x34, 0x56, 0x7F};
        std::uint32_t dst[7];
        ByteTable4 bytes;
        MakeByteTable(t, bytes);
        ExpandIndexed4(src, dst, bytes);
        for (std::size_t x = 0; x < 7; ++x) EXPECT_EQ(dst[x], t[x + 1]) << x;
    }
    {  // 2 bits, 5 pixels
        const std::uint8_t src[] = {0b00011011, 0b10000000};
        std::uint32_t dst[5];
        ExpandIndexed2(src, dst, t);
        const std::size_t idx[5] = {0, 1, 2, 3, 2};
        for (std::size_t x = 0; x < 5; ++x) EXPECT_EQ(dst[x], t[idx[x]]) << x;
    }
    {  // 8 bits, 6 pixels (the unrolled body and the tail)
        const std::uint8_t src[] = {0, 255, 7, 9, 200, 1};
        std::uint32_t dst[6];
        ExpandIndexed8(src, dst, t);
        for (std::size_t x = 0; x < 6; ++x) EXPECT_EQ(dst[x], t[src[x]]) << x;
    }
}

TEST(ExpandRow, DirectColourDepths) {
    std::uint8_t src[3 * 7];
    for (std::size_t i = 0; i < sizeof src; ++i) src[i] = static_cast<std::uint8_t>(i * 11 + 3);
    std::uint32_t dst[7];
    kExpandBgr24.Plain()(std::span<const std::uint8_t>(src), std::span<std::uint32_t>(dst));  // 7 pixels: one group of four and a tail of three
    for (std::size_t x = 0; x < 7; ++x) {
        const std::uint32_t want = 0xFF000000u | std::uint32_t{src[3 * x + 2]} << 16 |
                                   std::uint32_t{src[3 * x + 1]} << 8 | src[3 * x];
        EXPECT_EQ(dst[x], want) << x;
    }
    const std::uint8_t bgrx[] = {1, 2, 3, 0, 4, 5, 6, 0x80};
    std::uint32_t two[2];
    ExpandBgrx32(bgrx, two);  // the fourth byte is ignored: opaque
    EXPECT_EQ(two[0], 0xFF030201u);
    EXPECT_EQ(two[1], 0xFF060504u);
}

TEST(ExpandRow, VectorBgr24MatchesTheScalarTwin) {
    test::ExpectVectorMatchesScalar(67, [](std::size_t n, Simd level) {
        std::vector<std::uint8_t> src(3 * n);
        for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint8_t>(i * 131 + 7);
        std::vector<std::uint32_t> out(n, 0);
        kExpandBgr24.At(level)(src, out);
        return out;
    });
}

TEST(MaskDecoder, ScalesChannelsExactly) {
    struct Case {
        ChannelMasks masks;
        std::uint32_t stored;
        std::uint32_t want;
    };
    const Case cases[] = {
        {{0xF800, 0x07E0, 0x001F, 0}, 0xFFFF, 0xFFFFFFFFu},              // 5-6-5 white
        {{0xF800, 0x07E0, 0x001F, 0}, 0x0841, 0xFF080808u},              // 1,2,1 -> 8,8,8 (rounded)
        {{0x7C00, 0x03E0, 0x001F, 0}, 0x8000, 0xFF000000u},              // the unused top bit of 5-5-5
        {{0x0F00, 0x00F0, 0x000F, 0xF000}, 0x8421, 0x88442211u},         // 4-4-4-4 with alpha
        {{0x3FF00000, 0x000FFC00, 0x000003FF, 0xC0000000}, 0xFFFFFFFF, 0xFFFFFFFFu},  // 10-10-10-2
        {{0x00FF0000, 0x0000FF00, 0, 0}, 0x123456, 0xFF123400u},         // an empty blue mask gives 0
        {{0x01FC0000, 0x0003FFFF, 0xFE000000, 0}, 0x0003FC00, 0xFF00FF00u},  // 18-bit green keeps its top 8 bits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        EXPECT_EQ(MaskDecoder(c.masks).Pixel(c.stored), c.want);
    }
}

TEST(MaskDecoder, ValidityRules) {
    EXPECT_TRUE(MasksAreValid({0xF800, 0x07E0, 0x001F, 0}, 16));
    EXPECT_FALSE(MasksAreValid({0xF800, 0x0FE0, 0x001F, 0}, 16));   // overlap
    EXPECT_FALSE(MasksAreValid({0xF800, 0x07A0, 0x001F, 0}, 16));   // not contiguous
    EXPECT_FALSE(MasksAreValid({0x1F800, 0x07E0, 0x001F, 0}, 16));  // wider than the pixel
    EXPECT_FALSE(MasksAreValid({0, 0, 0, 0}, 32));                   // no colour at all
    EXPECT_TRUE(MasksAreValid({0xFF000000, 0xFF0000, 0xFF00, 0xFF}, 32));
}

}  // namespace
}  // namespace tessaly
