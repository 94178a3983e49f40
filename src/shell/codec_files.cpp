// The codec's operations over paths: each opens its file through the file
// service and runs the operation over bytes (bmp/read, bmp/write, gray/),
// which knows no file. The named operations fold the outcomes to 1 or 0.
#include "bmp/read/bmp_reader.h"
#include "bmp/read/describe.h"
#include "shell/bmp_codec.h"
#include "shell/input_file.h"
#include "shell/replacing_file.h"

namespace tessaly {

Outcome BmpCodec::Probe(const char* path, ImageInfo& info) const {
    InputFile file;
    if (const Outcome opened = file.Open(path); !opened.Ok()) return opened;
    return ProbeFrom(file.Source(), info);
}

Outcome BmpCodec::Load(const char* path, ImageView target) {
    InputFile file;
    const Outcome opened = file.Open(path);
    BmpReader reader(opened.Ok() ? file.Source() : ByteSource{}, scratch, opened);
    return LoadFrom(reader, target);
}

Outcome BmpCodec::Save(const char* path, const SaveRequest& request) {
    // Planned first: every refusal of the request comes before the file system is touched.
    PreparedSave save;
    if (const Outcome planned = PrepareSave(request, save); !planned.Ok()) return planned;
    ReplacingFile file;
    if (const Outcome begun = file.Begin(path, save.plan.fileSize); !begun.Ok()) return begun;
    const ByteSink sink = file.Sink();
    if (sink.drain && saveBand.size() < kSaveBandBytes) saveBand.resize(kSaveBandBytes);
    if (!WriteSave(save, sink, sink.drain ? std::span<std::uint8_t>(saveBand) : std::span<std::uint8_t>(scratch)).Ok())
        return file.WriteFailure();
    return file.Commit();
}

Outcome BmpCodec::CheckSave(const char* path, const SaveRequest& request) {
    PreparedSave save;
    if (const Outcome planned = PrepareSave(request, save); !planned.Ok()) return planned;
    return ReplacingFile::Check(path, save.plan.fileSize);
}

Outcome BmpCodec::CheckGray(const char* path) {
    InputFile file;
    const Outcome opened = file.Open(path);
    const BmpReader reader(opened.Ok() ? file.Source() : ByteSource{}, scratch, opened);
    return GrayCheck(reader);
}

Outcome BmpCodec::LoadGray(const char* path, GrayTarget target) {
    InputFile file;
    const Outcome opened = file.Open(path);
    BmpReader reader(opened.Ok() ? file.Source() : ByteSource{}, scratch, opened);
    return LoadGrayFrom(reader, target);
}

Outcome BmpCodec::LoadHost(const char* path, void* pixels, std::int32_t width, std::int32_t height) {
    const auto target = HostImage(pixels, width, height);
    return target ? Load(path, *target) : Outcome{Reason::NoTarget};
}

Outcome BmpCodec::SaveAs(const char* path, std::optional<SaveFormat> format, std::int32_t width, std::int32_t height,
                         const void* pixels) {
    if (!format) return Reason::SaveBitCount;
    return Save(path, SaveRequest{*format, width, height, pixels});
}

int BmpCodec::LoadBmpFile(const char* path, void* pixels, std::int32_t width, std::int32_t height) {
    return Folded(LoadHost(path, pixels, width, height));
}

int BmpCodec::SaveBmp(const char* path, ImageInfo info, const void* pixels) {
    const auto format = info.gray == 1 ? SaveFormat::Gray8 : ChooseSaveFormat(info.bitCount, info.compression);
    return Folded(SaveAs(path, format, info.width, info.height, pixels));
}

int BmpCodec::SaveGrayBmp(const char* path, const void* pixels, std::int32_t width, std::int32_t height) {
    return Folded(SaveAs(path, SaveFormat::Gray8, width, height, pixels));
}

BmpDescription Describe(const char* path, bool readPixels) {
    InputFile file;
    const Outcome opened = file.Open(path);
    std::vector<std::uint8_t> scratch(kReadChunkBytes);
    BmpReader reader(opened.Ok() ? file.Source() : ByteSource{}, scratch, opened);
    return Describe(reader, readPixels);
}

}  // namespace tessaly
