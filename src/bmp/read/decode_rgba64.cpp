// The 64-bit row kernel; see decode_rgba64.h.
#include "bmp/read/decode_rgba64.h"

#include <algorithm>
#include <cmath>

#include "bmp/read/bmp_layout.h"
#include "bmp/read/colour_transform.h"

namespace tessaly {

const Rgba64Levels& Rgba64Levels::Shared() {
    static const Rgba64Levels levels;
    return levels;
}

Rgba64Levels::Rgba64Levels() {
    for (int v = 0; v <= kOne; ++v) {
        const double linear = static_cast<double>(v) / kOne;
        colour_[static_cast<std::size_t>(v)] = static_cast<std::uint8_t>(std::lround(255 * SrgbFromLinear(linear)));
        alpha_[static_cast<std::size_t>(v)] = static_cast<std::uint8_t>(std::lround(255 * linear));
    }
}

std::size_t Rgba64Levels::Index(const std::uint8_t* p) {
    const auto v = static_cast<std::int16_t>(LoadLe16Unchecked(p));
    return static_cast<std::size_t>(std::clamp<int>(v, 0, kOne));
}

void ExpandRgba64(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst, const Rgba64Levels& levels) {
    const std::uint8_t* in = src.data();
    for (std::size_t x = 0; x < dst.size(); ++x) dst[x] = levels.Pixel(in + 8 * x);
}

}  // namespace tessaly
