// The header probe: a file's geometry as its headers state it.
#include <array>

#include "bmp/read/header.h"
#include "shell/bmp_codec.h"

namespace tessaly {

Outcome BmpCodec::ProbeFrom(const ByteSource& source, ImageInfo& info) {
    std::array<std::uint8_t, 256> headerBuffer;  // holds the largest header read at once
    ByteReader in(source, headerBuffer);
    BmpHeaders headers;
    if (const Outcome read = ReadBmpHeaders(in, headers); !read.Ok())
        return in.Failed() ? Outcome{Reason::ReadFailed, in.Error()} : read;
    const BITMAPINFOHEADER& h = headers.infoHeader;
    info.x = 0;
    info.y = 0;
    info.width = h.biWidth;
    info.height = h.biHeight;
    info.bitCount = static_cast<std::uint8_t>(h.biBitCount);  // only the low byte is reported
    info.compression = h.biCompression;
    return {};
}

}  // namespace tessaly
