// Loading an 8-bit gray file as one byte per pixel, through the same decoder
// as every load: each pixel's colour from the file's table, of which the blue
// byte (the gray level) is kept, straight into the host's rows.
#include "bmp/read/bmp_reader.h"
#include "bmp/read/decode.h"
#include "shell/bmp_codec.h"

namespace tessaly {

Refusal BmpCodec::LoadGray(const char* path, void* destination, std::int32_t width, std::int32_t height) {
    BmpReader reader(path, scratch);
    if (const Refusal r = GrayCheck(reader); r != Refusal::None) return r;
    const BmpLayout& layout = reader.Layout();
    // A request that names a size names the host's buffer: a file of another size would not fit it.
    if (width > 0 && height > 0 &&
        (static_cast<std::uint32_t>(width) != layout.width || static_cast<std::uint32_t>(height) != layout.height))
        return Refusal::GraySize;
    const std::size_t w = layout.width, h = layout.height;
    GrayRows rows(w, h, std::span<std::uint8_t>(static_cast<std::uint8_t*>(destination), w * h), w);
    DecodePixels(reader.Stream(), layout, MakePixelTable(reader.Colours()), rows, BestSimd());
    return Refusal::None;
}

}  // namespace tessaly
