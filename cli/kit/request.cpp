// Requests; see request.h.
#include "kit/request.h"

#include <algorithm>
#include <cstring>

namespace tessaly::kit {

static_assert(sizeof(ImageRequest::filePath) == ImageRequestPathMax + 1);

bool PathFits(const std::string& path) {
    return path.size() <= ImageRequestPathMax && path.find('\0') == std::string::npos;
}

ImageRequest MakeRequest(const std::string& path, std::int32_t width, std::int32_t height) {
    ImageRequest r{};
    const std::size_t n = std::min<std::size_t>(path.size(), ImageRequestPathMax);
    std::memcpy(r.filePath, path.data(), n);
    r.filePath[n] = '\0';
    r.width = width;
    r.height = height;
    return r;
}

}  // namespace tessaly::kit
