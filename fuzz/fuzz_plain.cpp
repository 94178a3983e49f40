// Fuzz target: plain (uncompressed) decoding over bytes in memory. The first
// four bytes choose the width, the height, the format with the row order, and
// the read buffer's size (so rows split into pieces at every place); the rest
// is the pixel array. Afterwards every element must be defined.
#include <vector>

#include "bmp/read/decode.h"
#include "bmp/read/geometry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tessaly;
    if (size < 4) return 0;
    struct Format {
        PixelFormat format;
        std::uint16_t bits;
    };
    static constexpr Format kFormats[] = {{PixelFormat::Indexed1, 1},  {PixelFormat::Indexed2, 2},
                                          {PixelFormat::Indexed4, 4},  {PixelFormat::Indexed8, 8},
                                          {PixelFormat::Masked16, 16}, {PixelFormat::Bgr24, 24},
                                          {PixelFormat::Bgrx32, 32},   {PixelFormat::Masked32, 32}};
    const Format f = kFormats[data[2] % 8];
    BmpLayout layout;
    layout.width = 1 + data[0] % 96u;
    layout.height = 1 + data[1] % 64u;
    layout.topDown = (data[2] & 0x80) != 0;
    layout.bitCount = f.bits;
    layout.format = f.format;
    layout.masks = f.bits == 16 ? ChannelMasks{0xF800, 0x07E0, 0x001F, 0} : ChannelMasks{0xFF0000, 0xFF00, 0xFF, 0};
    layout.pixelOffset = 4;
    layout.stride = RowStride(layout.width, f.bits);
    std::vector<std::uint8_t> scratch(8 + data[3] * 16u);  // 8 to 4088 bytes
    StreamReader in(std::span<const std::uint8_t>(data, size), scratch);
    PixelTable table;
    for (std::uint32_t i = 0; i < 256; ++i) table[i] = 0xFF000000u | i * 0x010101u;
    std::vector<std::uint32_t> out(std::size_t{layout.width} * layout.height, 0x12345678u);  // no decoder makes this
    DecodePixels(in, layout, table, ImageView{out.data(), layout.width, layout.height}, BestSimd());
    for (const std::uint32_t p : out)
        if (p == 0x12345678u) __builtin_trap();  // an element was never written
    return 0;
}
