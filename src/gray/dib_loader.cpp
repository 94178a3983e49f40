// The 8-bit bitmap loader; see dib_loader.h.
#include "gray/dib_loader.h"

#include <memory>

#include "bmp/read/decode.h"
#include "bmp/read/geometry.h"
#include "shell/file.h"

namespace tessaly {

std::optional<Dib8> LoadDib8(const char* path, std::span<std::uint8_t> scratch) {
    File file;
    if (!file.Open(path, kOpenRead)) return std::nullopt;
    StreamReader in(file, scratch);
    const auto headers = ReadBmpHeaders(in);
    if (!headers) return std::nullopt;
    const auto resolved = ReadLayout(in, *headers);
    if (!resolved || resolved->bitCount != 8) return std::nullopt;
    const BmpLayout& layout = *resolved;
    Dib8 dib;
    if (!ReadPalette(in, layout, dib.palette)) return std::nullopt;
    dib.paletteEntries = layout.paletteEntries;
    dib.width = layout.width;
    dib.height = layout.height;
    dib.stride = static_cast<std::size_t>(RowStride(layout.width, 8));
    const auto indexBytes = AsSize(std::uint64_t{dib.stride} * dib.height);
    if (!indexBytes || !AsSize(std::uint64_t{layout.width} * layout.height * 4)) return std::nullopt;

    // A table whose entry i is i makes the decoders hand back palette indices.
    PixelTable identity;
    for (std::uint32_t i = 0; i < identity.size(); ++i) identity[i] = i;
    const auto decoded = std::make_unique_for_overwrite<std::uint32_t[]>(dib.width * dib.height);
    const ImageView image{decoded.get(), dib.width, dib.height};
    DecodePixels(in, layout, identity, image);

    dib.rows.assign(*indexBytes, 0);
    for (std::size_t y = 0; y < dib.height; ++y) {
        const auto src = image.Row(y);
        std::uint8_t* dst = &dib.rows[y * dib.stride];
        for (std::size_t x = 0; x < src.size(); ++x) dst[x] = static_cast<std::uint8_t>(src[x]);
    }
    return dib;
}

}  // namespace tessaly
