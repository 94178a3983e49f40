#include "support/plugin.h"

#include <cstdio>
#include <cstdlib>

namespace tessaly::test {

const kit::PluginLibrary& LoadedPlugin() {
    static kit::PluginLibrary plugin;
    static const bool loaded = [] {
        std::string error;
        if (!plugin.Load(TESSALY_PLUGIN_PATH, error)) {
            std::fprintf(stderr, "%s: %s\n", TESSALY_PLUGIN_PATH, error.c_str());
            std::abort();
        }
        return true;
    }();
    (void)loaded;
    return plugin;
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
