// The row kernel for 64-bit pixels: four little-endian 16-bit channels B, G,
// R, A, each a signed fixed-point number with 13 fraction bits (s2.13: 8192
// is 1.0), the colours in linear light. They are shown as 8-bit sRGB with
// straight (not premultiplied) alpha; values below 0 clamp to 0 and above 1.0
// to 255. The kernel trusts its spans (8 stored bytes per pixel of dst) and
// allocates nothing.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace tessaly {

// The 8-bit level of every stored value from 0 to 1.0. The same for every
// file, so it is built once per process.
class Rgba64Levels {
public:
    static const Rgba64Levels& Shared();
    [[nodiscard]] std::uint32_t Pixel(const std::uint8_t* stored) const {
        return std::uint32_t{colour_[Index(stored)]} | std::uint32_t{colour_[Index(stored + 2)]} << 8 |
               std::uint32_t{colour_[Index(stored + 4)]} << 16 | std::uint32_t{alpha_[Index(stored + 6)]} << 24;
    }

private:
    Rgba64Levels();
    static constexpr int kOne = 8192;
    static std::size_t Index(const std::uint8_t* p);
    std::array<std::uint8_t, kOne + 1> colour_;  // sRGB-encoded
    std::array<std::uint8_t, kOne + 1> alpha_;   // linear
};

void ExpandRgba64(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst, const Rgba64Levels& levels);

}  // namespace tessaly
