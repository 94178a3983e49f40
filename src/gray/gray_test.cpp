// Recognising 8-bit gray files: 8 bits per pixel and a colour table that is
// the gray ramp (entry i is B = G = R = i, reserved 0) in every entry the file
// declares. Then every stored index is its own gray level.
#include <array>

#include "bmp/read/header.h"
#include "gray/gray.h"
#include "shell/bmp_codec.h"
#include "shell/file.h"

namespace tessaly {

bool IsGrayRamp(const Palette& palette, std::uint32_t entries) {
    for (std::uint32_t i = 0; i < entries && i < palette.size(); ++i) {
        const RGBQUAD& q = palette[i];
        if (q.rgbBlue != i || q.rgbGreen != i || q.rgbRed != i || q.rgbReserved != 0) return false;
    }
    return true;
}

int BmpCodec::IsGrayFile(const char* path) const {
    ImageInfo info;
    if (!ProbeBmpFile(path, info) || info.bitCount != 8) return 0;
    return HasGrayPalette(path) ? 1 : 0;
}

int BmpCodec::HasGrayPalette(const char* path) const {
    File file;
    if (!file.Open(path, kOpenRead)) return 0;
    std::array<std::uint8_t, 1024> buffer;
    StreamReader in(file, buffer);
    const auto headers = ReadBmpHeaders(in);
    // The whole 16-bit field must say 8: 0x0108 is not an 8-bit file.
    if (!headers || headers->infoHeader.biBitCount != 8) return 0;
    std::uint32_t maskBytes = 0;
    (void)ReadTrailingMasks(in, *headers, &maskBytes);  // only their length matters here
    const ColourTable layout = ColourTableOf(*headers, maskBytes, 8);
    in.SkipTo(layout.offset);
    Palette table{};
    for (std::uint32_t i = 0; i < layout.entries; ++i) {
        const auto entry = in.Take(layout.entrySize);
        if (!entry) return 0;  // an entry the file ends inside differs from the ramp
        table[i] = RGBQUAD{(*entry)[0], (*entry)[1], (*entry)[2],
                             layout.entrySize == 4 ? (*entry)[3] : std::uint8_t{0}};
    }
    return IsGrayRamp(table, layout.entries) ? 1 : 0;
}

}  // namespace tessaly
