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

// Operations report 1 for success; ImageProc reports 0. The sense flips here only.
std::int32_t HostResult(int operationResult) { return operationResult != 0 ? 0 : 1; }

}  // namespace

std::int32_t FailureResultFor(std::int32_t command) {
    return command == ImageCmdGetInfo || command == ImageCmdLoad || command == ImageCmdSave ? 1 : 0;
}

void WriteDescriptor(PluginDescriptor& d) {
    std::memcpy(d.pluginId, kPluginId, sizeof kPluginId);
    std::memcpy(d.pluginName, kPluginName, sizeof kPluginName);
    std::memcpy(d.pluginDescription, kPluginDescription, sizeof kPluginDescription);
    d.trailing[0] = d.trailing[1] = d.trailing[2] = 0;
}

namespace {

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

}  // namespace

std::int32_t Dispatch(BmpCodec& codec, std::int32_t command, const ImageRequest* request, ImageRecord* record) {
    // A host that passes a null pointer gets the command's failure, with nothing touched.
    const Needs needs = NeedsOf(command);
    if ((needs.request && !request) || (needs.record && !record) || (needs.pixels && !record->pixels))
        return FailureResultFor(command);
    // The path is read only within its field: one without a terminator there is no path.
    char path[sizeof(ImageRequest::filePath)] = {};
    if (needs.request) {
        const void* end = std::memchr(request->filePath, '\0', sizeof path);
        if (!end) return FailureResultFor(command);
        std::memcpy(path, request->filePath, static_cast<std::size_t>(static_cast<const char*>(end) - request->filePath) + 1);
    }
    switch (command) {
    case ImageCmdGetInfo: {
        ImageInfo info;
        if (!codec.ProbeBmpFile(path, info)) return FailureResultFor(command);
        record->info = ImageRecordInfo{info.x, info.y, info.width, info.height, info.bitCount, info.compression};
        return 0;
    }
    case ImageCmdLoad:
        return HostResult(codec.LoadBmpFile(path, record->pixels, request->width, request->height));
    case ImageCmdSave: {
        ImageInfo info;
        info.x = request->x;
        info.y = request->y;
        info.width = request->width;
        info.height = request->height;
        info.bitCount = request->bitCount;
        info.compression = request->compression;
        info.gray = 0;
        return HostResult(codec.SaveBmp(path, info, record->pixels));
    }
    case ImageCmdIsGray:
        record->isGray = codec.IsGrayFile(path) ? 1 : 0;
        return 0;
    case ImageCmdLoadGray:
        (void)codec.LoadGray(path, record->pixels, request->width, request->height);  // the host sees its buffer only
        return 0;
    case ImageCmdSaveGray:
        (void)codec.SaveGrayBmp(path, record->pixels, request->width, request->height);  // reported to nobody
        return 0;
    case ImageCmdGetType:
        std::memcpy(record->typeText, kTypeText, sizeof kTypeText);
        return 0;
    default:
        return 0;  // 5 and unknown commands do nothing
    }
}

}  // namespace tessaly
