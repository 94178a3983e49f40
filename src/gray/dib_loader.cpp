// The 8-bit bitmap loader; see dib_loader.h.
#include "gray/dib_loader.h"

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
    if (!indexBytes) return std::nullopt;

    // A table whose entry i is i makes the decoders hand back palette indices,
    // kept one byte per pixel as each row is finished.
    PixelTable identity;
    for (std::uint32_t i = 0; i < identity.size(); ++i) identity[i] = i;
    dib.rows.assign(*indexBytes, 0);
    IndexRows rows(dib.width, dib.height, dib.rows, dib.stride);
    DecodePixels(in, layout, identity, rows);
    return dib;
}

}  // namespace tessaly
