// The header probe: a file's geometry as its headers state it.
#include <array>

#include "bmp/read/header.h"
#include "shell/bmp_codec.h"
#include "shell/file.h"

namespace tessaly {

int BmpCodec::ProbeBmpFile(const char* path, ImageInfo& info) const {
    File file;
    if (!file.Open(path, kOpenRead)) return 0;
    std::array<std::uint8_t, 256> headerBuffer;  // holds the largest header read at once
    StreamReader in(file, headerBuffer);
    BmpHeaders headers;
    if (ReadBmpHeaders(in, headers) != Refusal::None) return 0;
    const BITMAPINFOHEADER& h = headers.infoHeader;
    info.x = 0;
    info.y = 0;
    info.width = h.biWidth;
    info.height = h.biHeight;
    info.bitCount = static_cast<std::uint8_t>(h.biBitCount);  // only the low byte is reported
    info.compression = h.biCompression;
    return 1;
}

}  // namespace tessaly
