// The wider BMP family: header versions, masked 16- and 32-bit pixels, alpha,
// 2-bit palettes and top-down rows, built in memory.
#include <gtest/gtest.h>

#include <memory>

#include "shell/bmp_codec.h"
#include "support/bmp_builder.h"
#include "support/codec.h"

namespace tessaly::test {
namespace {

struct FamilyCase {
    const char* name;
    BmpBuilder file;
    std::vector<std::uint32_t> want;  // empty: refused, by `reason`
    Outcome reason = Reason::None;
};

BmpBuilder Make(std::uint32_t headerSize, std::uint16_t bits, std::uint32_t compression, std::int32_t w,
                std::int32_t h, Bytes pixels, std::vector<std::uint32_t> masks = {},
                std::vector<std::uint32_t> palette = {}) {
    BmpBuilder b;
    b.headerSize = headerSize;
    b.bitCount = bits;
    b.compression = compression;
    b.width = w;
    b.height = h;
    b.pixels = std::move(pixels);
    b.masks = std::move(masks);
    b.palette = std::move(palette);
    return b;
}

std::vector<std::uint32_t> Ramp256() {
    std::vector<std::uint32_t> p(256);
    for (std::uint32_t i = 0; i < 256; ++i) p[i] = i * 0x010101u;
    return p;
}

TEST(Family, HeadersMasksAndAlpha) {
    const FamilyCase cases[] = {
        {"16-bit BI_RGB is 5-5-5, top bit ignored", Make(40, 16, 0, 2, 1, {0x1F, 0x80, 0xE0, 0x83}),
         {0xFF0000FFu, 0xFF00FF00u}},
        {"16-bit 5-6-5 bitfields", Make(40, 16, 3, 2, 1, {0x00, 0xF8, 0xE0, 0x07}, {0xF800, 0x07E0, 0x001F}),
         {0xFFFF0000u, 0xFF00FF00u}},
        {"32-bit BI_RGB is opaque whatever the fourth byte", Make(40, 32, 0, 1, 1, {0x10, 0x20, 0x30, 0x00}),
         {0xFF302010u}},
        {"32-bit X-B-G-R masks", Make(40, 32, 3, 1, 1, {0x00, 0x30, 0x20, 0x10}, {0x0000FF00, 0x00FF0000, 0xFF000000}),
         {0xFF302010u}},
        {"V5 alpha mask gives alpha", Make(124, 32, 3, 1, 1, {0x10, 0x20, 0x30, 0x40},
                                          {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000}),
         {0x40302010u}},
        {"V3 (56-byte) header with alpha", Make(56, 32, 3, 1, 1, {0x10, 0x20, 0x30, 0x80},
                                               {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000}),
         {0x80302010u}},
        // An alpha mask in a header of 56 bytes or more gives BI_RGB pixels their alpha (colour masks stay the defaults).
        {"V5 BI_RGB with an alpha mask", Make(124, 32, 0, 2, 1, {0x10, 0x20, 0x30, 0x40, 0x11, 0x21, 0x31, 0x00},
                                             {0x0000FF00, 0x00FF0000, 0x000000FF, 0xFF000000}),
         {0x40302010u, 0x00312111u}},
        {"16-bit 1-5-5-5 BI_RGB with an alpha mask", Make(56, 16, 0, 2, 1, {0x1F, 0x80, 0x1F, 0x00}, {0, 0, 0, 0x8000}),
         {0xFF0000FFu, 0x000000FFu}},
        {"V4 BI_RGB alpha mask over a colour: ignored", Make(108, 32, 0, 1, 1, {0x10, 0x20, 0x30, 0x40}, {0, 0, 0, 0x00FF0000}),
         {0xFF302010u}},
        // A picture whose alpha is 0 in every pixel is shown opaque.
        {"alpha mask, every alpha 0", Make(124, 32, 3, 2, 1, {0x10, 0x20, 0x30, 0x00, 0x11, 0x21, 0x31, 0x00},
                                          {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000}),
         {0xFF302010u, 0xFF312111u}},
        {"V2 (52-byte) header: no alpha mask", Make(52, 32, 3, 1, 1, {0x10, 0x20, 0x30, 0x80},
                                                   {0x00FF0000, 0x0000FF00, 0x000000FF}),
         {0xFF302010u}},
        {"BI_ALPHABITFIELDS after a 40-byte header", Make(40, 32, 6, 1, 1, {0x10, 0x20, 0x30, 0x80},
                                                         {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000}),
         {0x80302010u}},
        {"10-10-10-2", Make(40, 32, 6, 1, 1, {0xFF, 0x03, 0x00, 0xC0}, {0x3FF00000, 0x000FFC00, 0x000003FF, 0xC0000000}),
         {0xFF0000FFu}},
        {"core header: 3-byte entries, 16-bit sizes", Make(12, 8, 0, 2, 1, {1, 0, 0, 0}, {}, {0x000000, 0xA0B0C0}),
         {0xFFA0B0C0u, 0xFF000000u}},
        {"2-bit palette", Make(40, 2, 0, 3, 1, {0b00011011, 0, 0, 0}, {}, {0x0, 0x111111, 0x222222, 0x333333}),
         {0xFF000000u, 0xFF111111u, 0xFF222222u}},
        {"overlapping masks refused", Make(40, 16, 3, 1, 1, {0, 0, 0, 0}, {0xF800, 0x0FE0, 0x001F}), {}, Reason::Masks},
        {"non-contiguous mask refused", Make(40, 32, 3, 1, 1, {0, 0, 0, 0}, {0xFF0F00, 0xF000, 0xFF}), {}, Reason::Masks},
        {"mask wider than the pixel refused", Make(40, 16, 3, 1, 1, {0, 0, 0, 0}, {0x1F0000, 0x07E0, 0x001F}), {}, Reason::Masks},
        {"all-zero masks refused", Make(40, 32, 3, 1, 1, {0, 0, 0, 0}, {0, 0, 0}), {}, Reason::Masks},
        // 64 bits: B, G, R, A as s2.13 (8192 is 1.0), colours linear light: 1768 is sRGB level 128 (a
        // linear reading would give 55); below 0 and above 1.0 clamp; alpha is linear.
        {"64-bit linear channels to sRGB", Make(40, 64, 0, 2, 1, {0x00, 0x20, 0x00, 0xE0, 0x10, 0x27, 0x00, 0x00,
                                                                  0x00, 0x00, 0xE8, 0x06, 0x00, 0x00, 0x10, 0x10}),
         {0x00FF00FFu, 0x80008000u}},
        {"embedded JPEG refused", Make(124, 0, 4, 1, 1, Bytes(16, 0)), {}, Reason::Jpeg},
        {"embedded PNG refused", Make(124, 0, 5, 1, 1, Bytes(16, 0)), {}, Reason::Png},
        // Huffman 1-D, 8 x 2, bottom row first: EOL, white 3, black 5, EOL, white 0, black 2, white 6, EOL.
        // White runs are palette entry 0. The same stream with each byte's bits in the other order.
        {"OS/2 Huffman 1-D, high bit first", Make(64, 1, 3, 8, 2, {0x00, 0x18, 0x30, 0x01, 0x35, 0xF8, 0x00, 0x40}, {}, {0x112233, 0xAABBCC}),
         {0xFFAABBCCu, 0xFFAABBCCu, 0xFF112233u, 0xFF112233u, 0xFF112233u, 0xFF112233u, 0xFF112233u, 0xFF112233u,
          0xFF112233u, 0xFF112233u, 0xFF112233u, 0xFFAABBCCu, 0xFFAABBCCu, 0xFFAABBCCu, 0xFFAABBCCu, 0xFFAABBCCu}},
        {"OS/2 Huffman 1-D, low bit first", Make(64, 1, 3, 8, 2, {0x00, 0x18, 0x0C, 0x80, 0xAC, 0x1F, 0x00, 0x02}, {}, {0x112233, 0xAABBCC}),
         {0xFFAABBCCu, 0xFFAABBCCu, 0xFF112233u, 0xFF112233u, 0xFF112233u, 0xFF112233u, 0xFF112233u, 0xFF112233u,
          0xFF112233u, 0xFF112233u, 0xFF112233u, 0xFFAABBCCu, 0xFFAABBCCu, 0xFFAABBCCu, 0xFFAABBCCu, 0xFFAABBCCu}},
        // 8 x 2 low bit first and no EOLs: white 3, black 5; white 8 (the first row alone cannot tell the order).
        {"OS/2 Huffman 1-D, low bit first, no EOLs", Make(64, 1, 3, 8, 2, {0xC1, 0x19, 0x76}, {}, {0x112233, 0xAABBCC}),
         {0xFF112233u, 0xFF112233u, 0xFF112233u, 0xFF112233u, 0xFF112233u, 0xFF112233u, 0xFF112233u, 0xFF112233u,
          0xFF112233u, 0xFF112233u, 0xFF112233u, 0xFFAABBCCu, 0xFFAABBCCu, 0xFFAABBCCu, 0xFFAABBCCu, 0xFFAABBCCu}},
        // A run longer than its row stops at the row's end; a stream cut short leaves palette entry 0.
        // 4 x 2: EOL, white 0, black 10; the stream ends there.
        {"OS/2 Huffman 1-D, long run, cut stream", Make(64, 1, 3, 4, 2, {0x00, 0x13, 0x50, 0x80}, {}, {0x112233, 0xAABBCC}),
         {0xFF112233u, 0xFF112233u, 0xFF112233u, 0xFF112233u, 0xFFAABBCCu, 0xFFAABBCCu, 0xFFAABBCCu, 0xFFAABBCCu}},
        {"OS/2 Huffman 1-D at 4 bits refused", Make(64, 4, 3, 2, 1, Bytes(4, 0), {}, {0, 0xFFFFFF}), {}, Reason::CompressionDepth},
        // BI_BITFIELDS has masks after a 40-byte header at 16 and 32 bits only; elsewhere it reads as BI_RGB.
        {"24 bits marked BI_BITFIELDS", Make(40, 24, 3, 1, 1, {0x10, 0x20, 0x30, 0x00}), {0xFF302010u}},
        {"8 bits marked BI_BITFIELDS", Make(40, 8, 3, 2, 1, {1, 0, 0, 0}, {}, Ramp256()), {0xFF010101u, 0xFF000000u}},
        {"8 bits marked BI_ALPHABITFIELDS refused", Make(40, 8, 6, 1, 1, {0, 0, 0, 0}, {}, {0}), {}, Reason::CompressionDepth},
    };
    auto codec = std::make_unique<BmpCodec>();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t n = static_cast<std::size_t>(c.file.width) * static_cast<std::size_t>(std::abs(c.file.height));
        std::vector<std::uint32_t> out(n, 0x5A5A5A5A);
        const Outcome got = LoadBytes(*codec, c.file.Build(), out.data(), c.file.width, std::abs(c.file.height));
        EXPECT_EQ(got, c.reason) << ReasonText(got);
        if (c.want.empty()) {
            EXPECT_EQ(out, std::vector<std::uint32_t>(n, 0x5A5A5A5A));
        } else {
            EXPECT_EQ(out, c.want);
        }
    }
}

TEST(Family, TopDownFilesLoadLikeTheirBottomUpTwins) {
    // 3 x 3 at 8, 16, 24 and 32 bits: the top-down file stores the rows in reverse.
    auto codec = std::make_unique<BmpCodec>();
    for (const std::uint16_t bits : {1, 4, 8, 16, 24, 32}) {
        SCOPED_TRACE(bits);
        std::vector<Bytes> rows;
        for (std::uint8_t r = 0; r < 3; ++r) {
            Bytes row((3 * bits + 7) / 8);
            for (std::size_t i = 0; i < row.size(); ++i) row[i] = static_cast<std::uint8_t>(r * 37 + i * 11 + 1);
            rows.push_back(row);
        }
        std::vector<std::uint32_t> palette;
        if (bits <= 8)
            for (std::uint32_t i = 0; i < (1u << bits); ++i) palette.push_back(i * 0x030507u);
        const BmpBuilder up = Make(40, bits, 0, 3, 3, PadRows(rows), {}, palette);
        const BmpBuilder down = Make(40, bits, 0, 3, -3, PadRows({rows[2], rows[1], rows[0]}), {}, palette);
        std::vector<std::uint32_t> a(9), b(9);
        ASSERT_TRUE(LoadBytes(*codec, up.Build(), a.data(), 3, 3).Ok());
        ASSERT_TRUE(LoadBytes(*codec, down.Build(), b.data(), 3, 3).Ok());
        EXPECT_EQ(a, b);
    }
}

}  // namespace
}  // namespace tessaly::test
