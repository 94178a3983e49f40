// The built plug-in, loaded by path as a host loads it, for tests that go
// through the three exports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tessaly/plugin.h"

namespace tessaly::test {

struct Plugin {
    TessalyBaseProc baseProc = nullptr;
    TessalyParamProc paramProc = nullptr;
    TessalyImageProc imageProc = nullptr;
};

// The plug-in library of this build; aborts the test run when it cannot be loaded.
const Plugin& LoadedPlugin();

// A request for `path` with the given geometry.
ImageRequest MakeRequest(const std::string& path, std::int32_t width = 0, std::int32_t height = 0);

// ImageCmdLoad into a fresh buffer; empty on failure.
std::vector<std::uint32_t> LoadThroughPlugin(const std::string& path, std::int32_t width, std::int32_t height);

}  // namespace tessaly::test
