// Sizes; see size_request.h.
#include "size_request.h"

#include <algorithm>

namespace tessaly_cli {
namespace {

// A side: 1 to kMaxSide in decimal digits; an empty text is "not given" (0).
bool ParseSide(const std::string& text, std::uint32_t& side) {
    side = 0;
    if (text.empty()) return true;
    if (text.size() > 7 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    side = static_cast<std::uint32_t>(std::stoul(text));
    return side >= 1 && side <= kMaxSide;
}

// N or N.F percent, in thousandths: at most six digits before the point and three after.
bool ParsePercent(const std::string& text, std::uint32_t& milliPercent) {
    const std::size_t point = text.find('.');
    const std::string whole = text.substr(0, point);
    const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    if (whole.empty() || whole.size() > 6 || fraction.size() > 3 || (point != std::string::npos && fraction.empty()) ||
        (whole + fraction).find_first_not_of("0123456789") != std::string::npos)
        return false;
    const std::string thousandths = fraction + std::string(3 - fraction.size(), '0');
    milliPercent = static_cast<std::uint32_t>(std::stoul(whole) * 1000 + std::stoul(thousandths));
    return milliPercent > 0;
}

// round(value x num / den) with halves up, at least 1. The operands stay below
// 2^31 x 2^30, so the product fits 64 bits.
std::uint64_t Scaled(std::uint64_t value, std::uint64_t num, std::uint64_t den) {
    return std::max<std::uint64_t>(1, (2 * value * num + den) / (2 * den));
}

}  // namespace

std::optional<SizeRequest> ParseSizeRequest(const std::string& text, bool fit) {
    SizeRequest request;
    if (!fit && text.size() > 1 && text.back() == '%') {
        if (!ParsePercent(text.substr(0, text.size() - 1), request.milliPercent)) return std::nullopt;
        return request;
    }
    std::string box = text;
    if (!box.empty() && box.back() == '>') {
        request.shrinkOnly = true;
        box.pop_back();
    }
    request.shrinkOnly = request.shrinkOnly || fit;
    const std::size_t x = box.find_first_of("xX");
    if (x == std::string::npos || !ParseSide(box.substr(0, x), request.width) ||
        !ParseSide(box.substr(x + 1), request.height) || (request.width == 0 && request.height == 0))
        return std::nullopt;
    return request;
}

bool ResolveSize(const SizeRequest& request, std::uint32_t width, std::uint32_t height, std::uint32_t& outWidth,
                 std::uint32_t& outHeight, std::string& error) {
    std::uint64_t w = width, h = height;
    if (request.milliPercent != 0) {
        w = Scaled(width, request.milliPercent, 100000);
        h = Scaled(height, request.milliPercent, 100000);
    } else if (request.shrinkOnly && (request.width == 0 || width <= request.width) &&
               (request.height == 0 || height <= request.height)) {
        // Already inside the box: the picture keeps its size.
    } else if (request.width != 0 && request.height != 0 && !request.shrinkOnly) {
        w = request.width, h = request.height;
    } else if (request.height == 0 ||
               (request.width != 0 && std::uint64_t{request.width} * height <= std::uint64_t{request.height} * width)) {
        // The width is given, or is the side the box limits first.
        w = request.width;
        h = Scaled(height, request.width, width);
    } else {
        h = request.height;
        w = Scaled(width, request.height, height);
    }
    if (w > kMaxSide || h > kMaxSide) {
        error = std::to_string(w) + " x " + std::to_string(h) +
                " is larger than the host scales to (each side at most " + std::to_string(kMaxSide) + ")";
        return false;
    }
    outWidth = static_cast<std::uint32_t>(w);
    outHeight = static_cast<std::uint32_t>(h);
    return true;
}

}  // namespace tessaly_cli
