#include "support/plugin.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tessaly::test {

const Plugin& LoadedPlugin() {
    static const Plugin plugin = [] {
        void* handle = dlopen(TESSALY_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            std::fprintf(stderr, "cannot load %s: %s\n", TESSALY_PLUGIN_PATH, dlerror());
            std::abort();
        }
        Plugin p;
        p.baseProc = reinterpret_cast<TessalyBaseProc>(dlsym(handle, "BaseProc"));
        p.paramProc = reinterpret_cast<TessalyParamProc>(dlsym(handle, "ParamProc"));
        p.imageProc = reinterpret_cast<TessalyImageProc>(dlsym(handle, "ImageProc"));
        if (!p.baseProc || !p.paramProc || !p.imageProc) std::abort();
        return p;
    }();
    return plugin;
}

ImageRequest MakeRequest(const std::string& path, std::int32_t width, std::int32_t height) {
    ImageRequest r{};
    // A path longer than the field is cut to it, still terminated.
    const std::size_t n = std::min(path.size(), sizeof r.filePath - 1);
    std::memcpy(r.filePath, path.c_str(), n);
    r.filePath[n] = '\0';
    r.width = width;
    r.height = height;
    return r;
}

std::vector<std::uint32_t> LoadThroughPlugin(const std::string& path, std::int32_t width, std::int32_t height) {
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    ImageRequest request = MakeRequest(path, width, height);
    ImageRecord record{};
    record.pixels = pixels.data();
    if (LoadedPlugin().imageProc(ImageCmdLoad, &request, &record) != 0) return {};
    return pixels;
}

}  // namespace tessaly::test
