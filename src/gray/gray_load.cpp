// Loading an 8-bit gray file as one byte per pixel: the bitmap loader's rows
// (palette indices, which the gray ramp makes gray levels) are copied without
// their alignment bytes.
#include <cstring>

#include "gray/dib_loader.h"
#include "gray/gray.h"
#include "shell/bmp_codec.h"

namespace tessaly {

int BmpCodec::LoadGray(const char* path, void* destination) {
    // Only a gray file is decoded at all: its headers and colour table are
    // checked first (a few hundred bytes), the pixels read once after.
    if (!HasGrayPalette(path)) return 0;
    const auto dib = LoadDib8(path, scratch);
    if (!dib || !IsGrayRamp(dib->palette, dib->paletteEntries)) return 0;
    auto* out = static_cast<std::uint8_t*>(destination);
    if (dib->stride == dib->width) {
        std::memcpy(out, dib->rows.data(), dib->rows.size());
        return 1;
    }
    for (std::size_t y = 0; y < dib->height; ++y)
        std::memcpy(out + y * dib->width, &dib->rows[y * dib->stride], dib->width);
    return 1;
}

}  // namespace tessaly
