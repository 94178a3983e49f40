// The dispatcher; see dispatch.h.
#include "shell/dispatch.h"

#include <cstring>

namespace tessaly {
namespace {

constexpr std::uint8_t kPluginId[16] = {0x7E, 0x18, 0xF4, 0xE3, 0xDC, 0xDA, 0x77, 0x44,
                                        0x86, 0x6F, 0x97, 0x0D, 0xE5, 0x4F, 0x09, 0x80};
constexpr char kPluginName[] = "Bitmap Plugin";
constexpr char kPluginDescription[] = "This Plug In is Use to operate bmp file";
constexpr char kTypeText[] = "BMP";

// What a command reads or writes of the host's: its records, and the pixel buffer.
struct Needs {
    bool request = false, record = false, pixels = false;
};

Needs NeedsOf(std::int32_t command) {
    switch (command) {
    case ImageCmdGetInfo:
    case ImageCmdIsGray: return {true, true, false};
    case ImageCmdLoad:
    case ImageCmdSave:
    case ImageCmdLoadGray:
    case ImageCmdSaveGray: return {true, true, true};
    case ImageCmdGetType: return {false, true, false};
    default: return {};
    }
}

// The gray load's buffer: the request's size when both sides are positive, else the file's own.
GrayTarget GrayTargetOf(const ImageRequest& request, void* pixels) {
    GrayTarget target{static_cast<std::uint8_t*>(pixels), std::nullopt};
    if (request.width > 0 && request.height > 0)
        target.size = {static_cast<std::size_t>(request.width), static_cast<std::size_t>(request.height)};
    return target;
}

}  // namespace

std::int32_t HostResult(std::int32_t command, const Outcome& outcome) {
    // Operations report success as Ok; ImageProc reports 0. The sense flips here only.
    if (outcome.Ok()) return 0;
    return command == ImageCmdGetInfo || command == ImageCmdLoad || command == ImageCmdSave ? 1 : 0;
}

void WriteDescriptor(PluginDescriptor& d) {
    std::memcpy(d.pluginId, kPluginId, sizeof kPluginId);
    std::memcpy(d.pluginName, kPluginName, sizeof kPluginName);
    std::memcpy(d.pluginDescription, kPluginDescription, sizeof kPluginDescription);
    d.trailing[0] = d.trailing[1] = d.trailing[2] = 0;
}

std::int32_t Dispatch(BmpCodec& codec, std::int32_t command, const ImageRequest* request, ImageRecord* record) {
    // A host that passes a null pointer gets the command's failure, with nothing touched.
    const Needs needs = NeedsOf(command);
    if ((needs.request && !request) || (needs.record && !record) || (needs.pixels && !record->pixels))
        return HostResult(command, Reason::Internal);
    // The path is read only within its field: one without a terminator there is no path.
    char path[sizeof(ImageRequest::filePath)] = {};
    if (needs.request) {
        const void* end = std::memchr(request->filePath, '\0', sizeof path);
        if (!end) return HostResult(command, Reason::CannotOpen);
        std::memcpy(path, request->filePath, static_cast<std::size_t>(static_cast<const char*>(end) - request->filePath) + 1);
    }
    switch (command) {
    case ImageCmdGetInfo: {
        ImageInfo info;
        const Outcome probed = codec.Probe(path, info);
        if (probed.Ok()) record->info = ImageRecordInfo{info.x, info.y, info.width, info.height, info.bitCount, info.compression};
        return HostResult(command, probed);
    }
    case ImageCmdLoad:
        return HostResult(command, codec.LoadHost(path, record->pixels, request->width, request->height));
    case ImageCmdSave:
        return HostResult(command, codec.SaveAs(path, ChooseSaveFormat(request->bitCount, request->compression),
                                                request->width, request->height, record->pixels));
    case ImageCmdIsGray:
        // Written before the test runs, so a test that cannot finish answers "not gray".
        record->isGray = 0;
        if (codec.CheckGray(path).Ok()) record->isGray = 1;
        return HostResult(command, {});
    case ImageCmdLoadGray:
        return HostResult(command, codec.LoadGray(path, GrayTargetOf(*request, record->pixels)));
    case ImageCmdSaveGray:
        return HostResult(command,
                          codec.SaveAs(path, SaveFormat::Gray8, request->width, request->height, record->pixels));
    case ImageCmdGetType:
        std::memcpy(record->typeText, kTypeText, sizeof kTypeText);
        return HostResult(command, {});
    default:
        return HostResult(command, {});  // 5 and unknown commands do nothing
    }
}

}  // namespace tessaly
