// The bad-input battery: malformed files built in memory, each with the sound
// outcome stated: refused with the host's buffer untouched, or decoded within
// bounds to a defined result.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "shell/bmp_codec.h"
#include "support/bmp_builder.h"
#include "support/codec.h"
#include "support/counting_allocator.h"

namespace tessaly::test {
namespace {

constexpr std::uint32_t kPoison = 0x5A5A5A5A;

// A valid 4 x 2 file of each depth, for the cases to bend.
BmpBuilder Valid(std::uint16_t bits = 8) {
    BmpBuilder b;
    b.width = 4;
    b.height = 2;
    b.bitCount = bits;
    if (bits <= 8) {
        b.clrUsed = 1u << bits;
        for (std::uint32_t i = 0; i < b.clrUsed; ++i) b.palette.push_back(0x010101u * (i & 0xFF));
    }
    const std::size_t stride = ((4 * bits + 31) / 32) * 4;
    b.pixels.assign(stride * 2, 0x11);
    return b;
}

struct Case {
    const char* name;
    Bytes file;
    Outcome want;  // Reason::None: loads
    std::int32_t w = 4, h = 2;  // the host's target size
};

Bytes With(BmpBuilder b, const std::function<void(BmpBuilder&)>& change) {
    change(b);
    return b.Build();
}

Bytes Patched(Bytes file, std::size_t at, std::uint32_t v) {
    Put32(file, at, v);
    return file;
}

Bytes Cut(Bytes file, std::size_t n) {
    file.resize(std::min(n, file.size()));
    return file;
}

// `file` as the first entry of an OS/2 bitmap array, its type replaced by
// `type`; its offsets move on by the array's 14-byte header.
Bytes InArray(Bytes file, const char* type) {
    file[0] = static_cast<std::uint8_t>(type[0]);
    file[1] = static_cast<std::uint8_t>(type[1]);
    Put32(file, 10, Get32(file, 10) + 14);
    Bytes out(14, 0);
    out[0] = 'B';
    out[1] = 'A';
    Put32(out, 2, 40);
    out.insert(out.end(), file.begin(), file.end());
    return out;
}

TEST(HostileInput, Battery) {
    const Bytes valid8 = Valid().Build();
    std::vector<Case> cases = {
        {"13 bytes", Cut(valid8, 13), Reason::HeaderCut},
        {"53 bytes", Cut(valid8, 53), Reason::HeaderCut},
        {"wrong magic", With(Valid(), [](BmpBuilder& b) { b.magic = 0x4142; }), Reason::NotBmp},
        {"height INT32_MIN", With(Valid(), [](BmpBuilder& b) { b.height = INT32_MIN; }), Reason::TooLarge},
        {"width INT32_MIN", With(Valid(), [](BmpBuilder& b) { b.width = INT32_MIN; }), Reason::NoPixels},
        {"width and height negative", With(Valid(), [](BmpBuilder& b) { b.width = -4; b.height = -2; }), Reason::NoPixels},
        {"w x h x 4 just below 2^32, nearly no data", With(Valid(24), [](BmpBuilder& b) { b.width = 0x3FFFFFFF; b.height = 1; }), Reason::ScaledTooLarge},
        {"w x h x 4 just above 2^32", With(Valid(24), [](BmpBuilder& b) { b.width = 0x40000000; b.height = 1; }), Reason::TooLarge},
        {"bit count 0", With(Valid(), [](BmpBuilder& b) { b.bitCount = 0; }), Reason::BitCount},
        {"bit count 2 (loads as 2-bit)", Valid(2).Build(), Reason::None},
        {"bit count 3", With(Valid(), [](BmpBuilder& b) { b.bitCount = 3; }), Reason::BitCount},
        {"bit count 16 (5-5-5)", Valid(16).Build(), Reason::None},
        {"bit count 32", Valid(32).Build(), Reason::None},
        {"bit count 0x0118", With(Valid(24), [](BmpBuilder& b) { b.bitCount = 0x0118; }), Reason::BitCount},
        {"bit count 0xFFFF", With(Valid(), [](BmpBuilder& b) { b.bitCount = 0xFFFF; }), Reason::BitCount},
        {"biSize 12", With(Valid(), [](BmpBuilder& b) { b.headerSize = 12; }), Reason::None},
        {"biSize 16", With(Valid(), [](BmpBuilder& b) { b.headerSize = 16; }), Reason::None},
        {"biSize 64", With(Valid(), [](BmpBuilder& b) { b.headerSize = 64; }), Reason::None},
        {"biSize 66", With(Valid(), [](BmpBuilder& b) { b.headerSize = 66; }), Reason::None},
        {"biSize 108", With(Valid(), [](BmpBuilder& b) { b.headerSize = 108; }), Reason::None},
        {"biSize 124", With(Valid(), [](BmpBuilder& b) { b.headerSize = 124; }), Reason::None},
        {"biSize 0xFFFFFFFF", Patched(valid8, 14, 0xFFFFFFFF), Reason::HeaderCut},
        {"biSize 0xFFFFFFFF at 24 bits", Patched(Valid(24).Build(), 14, 0xFFFFFFFF), Reason::HeaderCut},
        {"bfOffBits inside the headers", Patched(valid8, 10, 20), Reason::None},
        {"bfOffBits inside the table", Patched(valid8, 10, 60), Reason::None},
        {"bfOffBits past the end", Patched(valid8, 10, 0xFFFFFFF0), Reason::None},
        {"biClrUsed 257", With(Valid(), [](BmpBuilder& b) { b.clrUsed = 257; b.palette.resize(257); }), Reason::None},
        {"biClrUsed 0xFFFFFFFF: the table ends where the pixels start", Patched(valid8, 46, 0xFFFFFFFF), Reason::None},
        {"biClrUsed 0xFFFFFFFF at 24 bits", Patched(Valid(24).Build(), 46, 0xFFFFFFFF), Reason::None},
        {"colour table cut short", Cut(valid8, 54 + 500), Reason::TableCut},
        {"top-down RLE", With(Valid(), [](BmpBuilder& b) { b.height = -2; b.compression = 1; }), Reason::TopDownRle},
        {"65535 x 65535 RLE, 2-byte stream", With(Valid(), [](BmpBuilder& b) {
             b.width = 65535; b.height = 65535; b.compression = 1; b.pixels = {0, 1}; }), Reason::TooLarge},
        {"bitmap array: its first bitmap", InArray(valid8, "BM"), Reason::None},
        {"bitmap array holding an icon", InArray(valid8, "IC"), Reason::NotBmp},
        {"bitmap array cut in its bitmap's file header", Cut(InArray(valid8, "BM"), 20), Reason::HeaderCut},
        {"Huffman 1-D stream of noise", With(Valid(1), [](BmpBuilder& b) {
             b.headerSize = 64; b.compression = 3; b.pixels = {0x5C, 0x00, 0x93, 0xFF, 0x01, 0x7E, 0x00, 0x00}; }), Reason::None},
        {"top-down Huffman 1-D", With(Valid(1), [](BmpBuilder& b) { b.headerSize = 64; b.compression = 3; b.height = -2; }),
         Reason::TopDownRle},
        {"profile larger than the file", Patched(With(Valid(24), [](BmpBuilder& b) {
             b.headerSize = 124; b.colourSpace = 0x4D424544; b.profile = MatrixTrcProfile({{{0.6, 0.3, 0.02}, {0.2, 0.6, 0.06}, {0.15, 0.06, 0.75}}}, 1.8); }),
             14 + 116, 0xFFFFFFFF), Reason::None},
    };
    for (const auto& [c, why] : {std::pair{4u, Reason::Jpeg}, {5u, Reason::Png}, {7u, Reason::Compression},
                                 {0x100u, Reason::Compression}, {0xFFFFFFFFu, Reason::Compression}})
        cases.push_back({"compression", With(Valid(24), [c = c](BmpBuilder& b) { b.compression = c; }), why});
    for (const std::uint16_t bits : {1, 2, 4, 8, 16, 24, 32, 64}) {
        // Pixel data cut in half: complete data is required below 8 bits, missing bytes read as zero above.
        Bytes file = Valid(bits).Build();
        file.resize(file.size() - (file.size() - Get32(file, 10)) / 2);
        cases.push_back({"short pixel data", file, bits < 8 ? Reason::PixelsCut : Reason::None});
    }

    auto codec = std::make_unique<BmpCodec>();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " (" + std::to_string(c.file.size()) + " bytes)");
        std::vector<std::uint32_t> px(static_cast<std::size_t>(c.w * c.h), kPoison);
        AllocationWatch watch;
        const Outcome got = LoadBytes(*codec, c.file, px.data(), c.w, c.h);
        EXPECT_LT(watch.Largest(), 1u << 20);
        EXPECT_EQ(got, c.want) << ReasonText(got);
        if (c.want != Reason::None) {
            EXPECT_EQ(px, std::vector<std::uint32_t>(px.size(), kPoison));
        } else {
            for (const std::uint32_t p : px) EXPECT_NE(p, kPoison);
        }
        // The other readers meet the same bytes without harm.
        ImageInfo info;
        (void)ProbeBytes(c.file, info);
        (void)CheckGrayBytes(*codec, c.file);
    }
}

}  // namespace
}  // namespace tessaly::test
