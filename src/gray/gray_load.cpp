// Loading an 8-bit gray file as one byte per pixel, through the same decoder
// as every load: each pixel's colour from the file's table, of which the blue
// byte (the gray level) is kept, straight into the host's rows.
#include "bmp/read/bmp_reader.h"
#include "bmp/read/decode.h"
#include "gray/gray_rows.h"
#include "shell/bmp_codec.h"

namespace tessaly {

Outcome BmpCodec::LoadGrayFrom(BmpReader& reader, GrayTarget target) {
    if (const Outcome gray = GrayCheck(reader); !gray.Ok()) return gray;
    const BmpLayout& layout = reader.Layout();
    // A request that names a size names the host's buffer: a file of another size would not fit it.
    if (target.size && (target.size->first != layout.width || target.size->second != layout.height))
        return Reason::GraySize;
    const std::size_t w = layout.width, h = layout.height;
    GrayRows rows(w, h, std::span<std::uint8_t>(target.levels, w * h), w);
    ByteReader& in = reader.Stream();
    DecodeImage(in, layout, MakePixelTable(reader.Colours()), rows);
    if (in.Failed()) return {Reason::ReadFailed, in.Error()};
    return {};
}

}  // namespace tessaly
