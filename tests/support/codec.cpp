#include "support/codec.h"

#include "bmp/read/bmp_reader.h"

namespace tessaly::test {

Outcome LoadBytes(BmpCodec& codec, const Bytes& file, void* pixels, std::int32_t w, std::int32_t h) {
    const auto target = HostImage(pixels, w, h);
    if (!target) return Reason::NoTarget;
    BmpReader reader(MemorySource(file), codec.scratch);
    return codec.LoadFrom(reader, *target);
}

Outcome ProbeBytes(const Bytes& file, ImageInfo& info) { return BmpCodec::ProbeFrom(MemorySource(file), info); }

Outcome CheckGrayBytes(BmpCodec& codec, const Bytes& file) {
    const BmpReader reader(MemorySource(file), codec.scratch);
    return BmpCodec::GrayCheck(reader);
}

Outcome LoadGrayBytes(BmpCodec& codec, const Bytes& file, std::uint8_t* levels, std::int32_t w, std::int32_t h) {
    BmpReader reader(MemorySource(file), codec.scratch);
    GrayTarget target{levels, std::nullopt};
    if (w > 0 && h > 0) target.size = {static_cast<std::size_t>(w), static_cast<std::size_t>(h)};
    return BmpCodec::LoadGrayFrom(reader, target);
}

Bytes SaveBytes(BmpCodec& codec, const SaveRequest& request, Outcome* outcome) {
    Bytes out;
    const Outcome saved = codec.SaveTo(VectorSink(out), request);
    if (outcome) *outcome = saved;
    return saved.Ok() ? out : Bytes{};
}

}  // namespace tessaly::test
