// The one way the host, the tests and the benchmarks fill an ImageRequest.
#pragma once

#include <cstdint>
#include <string>

#include "tessaly/plugin.h"

namespace tessaly::kit {

// Whether `path` fits a request whole: at most ImageRequestPathMax bytes and no zero byte.
[[nodiscard]] bool PathFits(const std::string& path);

// A request for `path` with the given geometry, every other field 0. A path
// longer than ImageRequestPathMax bytes is cut to that length, so filePath is
// always terminated; a caller that must not cut a path asks PathFits first.
[[nodiscard]] ImageRequest MakeRequest(const std::string& path, std::int32_t width = 0, std::int32_t height = 0);

}  // namespace tessaly::kit
