// The built plug-in, loaded by path as a host loads it (through the shared
// loader, cli/kit), for tests that go through the three exports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kit/plugin_library.h"
#include "kit/request.h"
#include "tessaly/plugin.h"

namespace tessaly::test {

using kit::MakeRequest;

// The plug-in library of this build; aborts the test run when it cannot be loaded.
const kit::PluginLibrary& LoadedPlugin();

// ImageCmdLoad into a fresh buffer; empty on failure.
std::vector<std::uint32_t> LoadThroughPlugin(const std::string& path, std::int32_t width, std::int32_t height);

}  // namespace tessaly::test
