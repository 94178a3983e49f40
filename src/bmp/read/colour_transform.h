// Showing colours as the file means them: pixels whose stored levels belong
// to another RGB space (a matrix/TRC ICC profile, or a V4/V5 header's
// calibrated RGB) become sRGB levels. Each channel's level goes to linear
// light through the source's curve, the three linear values through one
// matrix to linear sRGB (source primaries to XYZ relative to D50, Bradford
// adaptation to D65, XYZ to sRGB), and each result back to a level through
// sRGB's curve.
//
// The result is defined in double precision: output channel o of a pixel
// (r, g, b) has the linear value
//     y = (m[o][R] * lin[R][r] + m[o][G] * lin[G][g]) + m[o][B] * lin[B][b]
// (each product and sum rounded to double, in that order) and the level
// SrgbLevel(y). Every kernel gives exactly that level, for every one of the
// 2^24 colours:
// - the plain kernel sums the same double products (one table per input
//   channel) and finds the level among sRGB's 255 level boundaries, a table
//   of 3329 levels narrowing the search to one comparison;
// - the vector kernels (colour_transform_x86.cpp) sum 32-bit fixed-point
//   columns (each entry a channel's linear value times its matrix column: one
//   16-byte load per channel, no gathers) and encode in float through a
//   polynomial (sRGB's curve is a power: one octave's shape, scaled per
//   octave). A lane that lands within the encoding's proven error of a level
//   boundary is flagged, and its pixel is done again by the plain kernel.
// Alpha is kept. Limit: the arithmetic is the FPU's default, rounding to
// nearest (threads start so); a host that changes the rounding mode can see
// a level one off beside a boundary.
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
// The 8-bit level of a linear value: round(255 * SrgbFromLinear(linear)).
int SrgbLevel(double linear);

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

// The vector kernels' encoding of sRGB's curve above its linear part: for x
// in [2^e, 2^(e+1)), 269.025 * x^(5/12) - 14.025 levels is K(e) * P(m) -
// 14.025, with m = x / 2^e in [1, 2) and P a degree-6 polynomial for
// m^(5/12), evaluated by Horner's rule in float. kSrgbPowerError bounds P's
// relative error for every float m in [1, 2), evaluated with fused
// multiply-adds or with separate multiplies and adds (a unit test checks
// every one).
inline constexpr std::array<float, 7> kSrgbPower = {0x1.6850a6p-2f, 0x1.0eb858p+0f, -0x1.5a318cp-1f, 0x1.84e2d6p-2f,
                                                    -0x1.1e3552p-3f, 0x1.e2a8b8p-6f, -0x1.60c89ep-9f};
inline constexpr double kSrgbPowerError = 5.0e-7;

class ColourTransform {
public:
    explicit ColourTransform(const SourceSpace& source);

    // One pixel (B, G, R, A in a little-endian word), converted; alpha kept.
    [[nodiscard]] std::uint32_t Pixel(std::uint32_t px) const;
    // Converts pixels in place with the best kernel at or below `simd`
    // (AVX-512, AVX2 or SSE2); every kernel gives the plain one's levels.
    void Convert(std::span<std::uint32_t> pixels, Simd simd) const;
    void ConvertScalar(std::span<std::uint32_t> pixels) const;

    using Kernel = void (ColourTransform::*)(std::span<std::uint32_t>) const;

    // What the vector kernels read (built with the transform). A pixel's sum
    // of its three columns is, per output channel, Y = y * scale rounded
    // (scale = 2^shift * 2^-9 / 0.0031308, which puts the start of sRGB's
    // power part at an octave of Y: y = 0.0031308 is Y = 2^(shift - 9)).
    // Clamped to [1, top] and made a float, Y is encoded as
    //     w = min(K[slot] * P(m) + powerBias, Y * slope + linearBias),
    // in 2^-16 levels, where slot is Y's float exponent mod 16 (K is huge
    // below the power part, so the linear part wins there). The level is
    // w's integer part >> 16; a lane with (w & flagBits) == 0 lies within the
    // encoding's error of a level boundary and is flagged.
    struct Encoding {
        alignas(64) std::array<std::array<std::array<std::int32_t, 4>, 256>, 3> columns{};  // by pixel byte (B, G, R)
        alignas(64) std::array<float, 16> scaleBySlot{};
        // The same for 8-entry lookups: slots of the octaves from 2^(shift-8) up,
        // and below that the one power octave under them.
        alignas(32) std::array<float, 8> scaleHigh{}, scaleLow{};
        float lowOctaves = 0;  // Y below this reads scaleLow
        float slope = 0, powerBias = 0, linearBias = 0;
        std::int32_t top = 0;  // Y of y = 1
        std::uint32_t flagBits = 0;
        bool usable = false;  // false: margins so wide the plain kernel is faster
    };

private:
    [[nodiscard]] int Level(double y) const;
    // Redoes with the plain kernel the pixels of in[0, n) whose bit is set in
    // `flags`, writing out[i] (in and out may be the same).
    void Redo(const std::uint32_t* in, std::uint32_t* out, std::uint64_t flags, std::size_t n) const;
    // The vector kernels (colour_transform_x86.cpp), built only where the CPU can be asked for them.
    void ConvertSse2(std::span<std::uint32_t> pixels) const;
    void ConvertAvx2(std::span<std::uint32_t> pixels) const;
    void ConvertAvx512(std::span<std::uint32_t> pixels) const;
    static const KernelFamily<Kernel> kKernels;

    // exact_[c][v][o]: output o's product for pixel byte c (blue, green, red) at level v.
    std::array<std::array<std::array<double, 3>, 256>, 3> exact_{};
    // sRGB's level boundaries, the same for every transform (colour_transform.cpp).
    const double* at_;
    const std::uint8_t* levelAt_;
    Encoding fast_;
};

}  // namespace tessaly
