// The colour transform; see colour_transform.h.
#include "bmp/read/colour_transform.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "shell/cpu.h"

namespace tessaly {

double SrgbFromLinear(double linear) {
    const double x = std::clamp(linear, 0.0, 1.0);
    return x <= 0.0031308 ? 12.92 * x : 1.055 * std::pow(x, 1 / 2.4) - 0.055;
}

double LinearFromSrgb(double encoded) {
    const double v = std::clamp(encoded, 0.0, 1.0);
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

Matrix3 Multiply(const Matrix3& a, const Matrix3& b) {
    Matrix3 m{};
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 3; ++j)
            for (std::size_t k = 0; k < 3; ++k) m[i][j] += a[i][k] * b[k][j];
    return m;
}

Matrix3 Inverse(const Matrix3& m) {
    const double a = m[1][1] * m[2][2] - m[1][2] * m[2][1];
    const double b = m[1][2] * m[2][0] - m[1][0] * m[2][2];
    const double c = m[1][0] * m[2][1] - m[1][1] * m[2][0];
    const double det = m[0][0] * a + m[0][1] * b + m[0][2] * c;
    return {{{a / det, (m[0][2] * m[2][1] - m[0][1] * m[2][2]) / det, (m[0][1] * m[1][2] - m[0][2] * m[1][1]) / det},
             {b / det, (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det, (m[0][2] * m[1][0] - m[0][0] * m[1][2]) / det},
             {c / det, (m[0][1] * m[2][0] - m[0][0] * m[2][1]) / det, (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det}}};
}

namespace {

std::array<double, 3> Apply(const Matrix3& m, const std::array<double, 3>& v) {
    return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2], m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
            m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}

// The ICC profile connection space's white, and sRGB's (x 0.3127, y 0.3290) as XYZ.
constexpr std::array<double, 3> kD50 = {0.9642, 1.0, 0.8249};
constexpr std::array<double, 3> kD65 = {0.3127 / 0.3290, 1.0, (1 - 0.3127 - 0.3290) / 0.3290};

// Bradford's adaptation of XYZ from one white to another.
Matrix3 Bradford(const std::array<double, 3>& from, const std::array<double, 3>& to) {
    constexpr Matrix3 kCone = {{{0.8951, 0.2664, -0.1614}, {-0.7502, 1.7135, 0.0367}, {0.0389, -0.0685, 1.0296}}};
    const auto a = Apply(kCone, from), b = Apply(kCone, to);
    Matrix3 scale{};
    for (std::size_t i = 0; i < 3; ++i) scale[i][i] = b[i] / a[i];
    return Multiply(Inverse(kCone), Multiply(scale, kCone));
}

// The encoding table (see colour_transform.h), the same for every source, so
// it is built once per process. Entry i stands for the floats whose bits lie
// in [low + i * step, low + (i + 1) * step): the level of the middle of that
// range. The last entry is 1.0 itself; three more pad it, so a 4-byte load at
// the last entry stays inside (the vector kernel reads 4 bytes per lookup).
const std::uint8_t* SrgbEncodeTable() {
    static const auto table = [] {
        std::array<std::uint8_t, ColourTransform::kEncodeEntries + 3> t{};
        constexpr std::uint32_t kStep = 1u << (23 - ColourTransform::kMantissaBits);
        for (std::size_t i = 0; i + 1 < ColourTransform::kEncodeEntries; ++i) {
            const std::uint32_t lowBits = ColourTransform::kLowBits + static_cast<std::uint32_t>(i) * kStep;
            const std::uint32_t highBits = lowBits + kStep;
            float low, high;
            std::memcpy(&low, &lowBits, 4);
            std::memcpy(&high, &highBits, 4);
            const double middle = (static_cast<double>(low) + static_cast<double>(high)) / 2;
            t[i] = static_cast<std::uint8_t>(std::lround(255 * SrgbFromLinear(middle)));
        }
        t[ColourTransform::kEncodeEntries - 1] = 255;
        return t;
    }();
    return table.data();
}

}  // namespace

Matrix3 RgbToXyz(const std::array<std::array<double, 2>, 3>& primaries, const std::array<double, 2>& white) {
    Matrix3 m{};
    for (std::size_t c = 0; c < 3; ++c) {
        const double x = primaries[c][0], y = primaries[c][1];
        m[0][c] = x / y;
        m[1][c] = 1;
        m[2][c] = (1 - x - y) / y;
    }
    const std::array<double, 3> w = {white[0] / white[1], 1, (1 - white[0] - white[1]) / white[1]};
    const auto s = Apply(Inverse(m), w);  // each primary's share of the white
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t c = 0; c < 3; ++c) m[r][c] *= s[c];
    return m;
}

Matrix3 SrgbFromPcs() {
    const Matrix3 srgbToXyz = RgbToXyz({{{0.64, 0.33}, {0.30, 0.60}, {0.15, 0.06}}}, {0.3127, 0.3290});
    return Multiply(Inverse(srgbToXyz), Bradford(kD50, kD65));
}

ColourTransform::ColourTransform(const SourceSpace& source) : encode_(SrgbEncodeTable()) {
    // The pixel's bytes are blue, green, red: the tables and the matrix follow that order.
    constexpr std::size_t kFromPixel[3] = {2, 1, 0};
    for (std::size_t c = 0; c < 3; ++c)
        for (std::size_t v = 0; v < 256; ++v) linear_[c][v] = static_cast<float>(source.linear[kFromPixel[c]][v]);
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t c = 0; c < 3; ++c)
            matrix_[3 * r + c] = static_cast<float>(source.toSrgb[kFromPixel[r]][kFromPixel[c]]);
}

std::uint32_t ColourTransform::Encode(float linear) const {
    std::int32_t bits;
    std::memcpy(&bits, &linear, 4);
    // Negative values (sign bit set) are below kLowBits as signed integers: they show as 0, as does anything under 2^-13.
    bits = std::clamp(bits, static_cast<std::int32_t>(kLowBits), static_cast<std::int32_t>(kHighBits));
    return encode_[static_cast<std::uint32_t>(bits - static_cast<std::int32_t>(kLowBits)) >> (23 - kMantissaBits)];
}

std::uint32_t ColourTransform::Pixel(std::uint32_t px) const {
    const float b = linear_[0][px & 0xFF], g = linear_[1][px >> 8 & 0xFF], r = linear_[2][px >> 16 & 0xFF];
    const float* m = matrix_.data();
    const float ob = m[0] * b + m[1] * g + m[2] * r;
    const float og = m[3] * b + m[4] * g + m[5] * r;
    const float orr = m[6] * b + m[7] * g + m[8] * r;
    return (px & 0xFF000000u) | Encode(orr) << 16 | Encode(og) << 8 | Encode(ob);
}

void ColourTransform::ConvertScalar(std::span<std::uint32_t> pixels) const {
    for (std::uint32_t& px : pixels) px = Pixel(px);
}

void ColourTransform::Convert(std::span<std::uint32_t> pixels, Simd simd) const {
#if defined(TESSALY_X86_DISPATCH)
    if (simd >= Simd::Avx2) return ConvertAvx2(pixels);
#endif
    (void)simd;
    ConvertScalar(pixels);
}

}  // namespace tessaly
