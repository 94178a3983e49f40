// Showing colours as the file means them: pixels whose stored levels belong
// to another RGB space (a matrix/TRC ICC profile, or a V4/V5 header's
// calibrated RGB) become sRGB levels. Each channel's level goes to linear
// light through the source's curve, the three linear values through one
// matrix to linear sRGB (source primaries to XYZ relative to D50, Bradford
// adaptation to D65, XYZ to sRGB), and each result back to a level through
// sRGB's curve.
//
// The pixel loop reads nothing but tables: per load, 256 linear values per
// input channel (float) and the 3 x 3 matrix (float); per process, one
// encoding table of 3329 bytes indexed by the bits of the linear value as a
// float (its exponent and top 8 mantissa bits, so the steps shrink with the
// value, as sRGB's curve needs near black). Alpha is kept.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "shell/cpu.h"

namespace tessaly {

// sRGB's curve (IEC 61966-2-1), from and to linear light, both in [0, 1].
double SrgbFromLinear(double linear);
double LinearFromSrgb(double encoded);

using Matrix3 = std::array<std::array<double, 3>, 3>;  // [row][column]

// A source RGB space: each channel's stored level (0 to 255) in linear light,
// and the matrix taking linear (red, green, blue) to linear sRGB.
struct SourceSpace {
    std::array<std::array<double, 256>, 3> linear{};  // red, green, blue
    Matrix3 toSrgb{};
};

// The matrix from linear RGB to XYZ of the primaries and white point with the
// given chromaticities (x, y), white scaled to Y = 1.
Matrix3 RgbToXyz(const std::array<std::array<double, 2>, 3>& primaries, const std::array<double, 2>& white);
// The matrix from XYZ relative to D50 (the ICC profile connection space) to
// linear sRGB: Bradford adaptation to D65, then sRGB's inverse matrix.
Matrix3 SrgbFromPcs();
Matrix3 Multiply(const Matrix3& a, const Matrix3& b);
Matrix3 Inverse(const Matrix3& m);

class ColourTransform {
public:
    explicit ColourTransform(const SourceSpace& source);

    // One pixel (B, G, R, A in a little-endian word), converted; alpha kept.
    [[nodiscard]] std::uint32_t Pixel(std::uint32_t px) const;
    // Converts pixels in place, with the best kernel at or below `simd`
    // (AVX2, or the scalar one, which the vector kernel matches bit for bit).
    void Convert(std::span<std::uint32_t> pixels, Simd simd) const;
    void ConvertScalar(std::span<std::uint32_t> pixels) const;

    // Encoding-table geometry: a float's bits from 2^-13 (below it every value
    // shows as level 0) to 1.0, in steps of 2^-8 of each power of two.
    static constexpr int kMantissaBits = 8;
    static constexpr std::uint32_t kLowBits = 114u << 23;   // 2^-13 as a float
    static constexpr std::uint32_t kHighBits = 127u << 23;  // 1.0
    static constexpr std::size_t kEncodeEntries = ((kHighBits - kLowBits) >> (23 - kMantissaBits)) + 1;

private:
    [[nodiscard]] std::uint32_t Encode(float linear) const;
    // The AVX2 kernel (colour_transform_x86.cpp); built only where the CPU can be asked for it.
    void ConvertAvx2(std::span<std::uint32_t> pixels) const;

    alignas(32) std::array<std::array<float, 256>, 3> linear_{};  // blue, green, red: as a pixel's bytes
    std::array<float, 9> matrix_{};  // row-major; rows and columns blue, green, red
    const std::uint8_t* encode_;  // the process's encoding table, kEncodeEntries + 3 bytes
};

}  // namespace tessaly
