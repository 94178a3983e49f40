// The plug-in's whole boundary: the three exported entry points. No exception
// crosses it; anything raised below becomes the command's failure result,
// with the host's records and buffers as they were.
#define TESSALY_BUILDING_PLUGIN 1
#include "shell/bmp_codec.h"
#include "shell/dispatch.h"
#include "tessaly/plugin.h"

#if defined(_WIN32)
#define TESSALY_EXPORT
#else
#define TESSALY_EXPORT __attribute__((visibility("default")))
#endif

namespace tessaly {

// Static storage: zero-filled before any constructor runs, so before the first call.
BmpCodec g_codec;

BmpCodec& Codec() { return g_codec; }

}  // namespace tessaly

extern "C" {

TESSALY_EXPORT int32_t TESSALY_CDECL BaseProc(int32_t selector, int32_t /*unused*/, PluginDescriptor* descriptor) {
    if (selector == 0 && descriptor) tessaly::WriteDescriptor(*descriptor);
    return 0;
}

TESSALY_EXPORT int32_t TESSALY_CDECL ParamProc(void) { return 0; }

TESSALY_EXPORT int32_t TESSALY_STDCALL ImageProc(int32_t command, ImageRequest* request, ImageRecord* record) {
    try {
        return tessaly::Dispatch(tessaly::Codec(), command, request, record);
    } catch (...) {
        return tessaly::HostResult(command, tessaly::Reason::Internal);  // memory ran out: what a failure returns
    }
}

}  // extern "C"
