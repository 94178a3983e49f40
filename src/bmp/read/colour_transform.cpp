// The colour transform; see colour_transform.h.
#include "bmp/read/colour_transform.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "shell/assert.h"
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

int SrgbLevel(double linear) { return static_cast<int>(std::lround(255 * SrgbFromLinear(linear))); }

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

// Where sRGB's levels change, the same for every source, so it is found once
// per process. at[k] (k = 1..255) is the smallest double whose SrgbLevel is k
// or more; at[0] and at[256] are infinite. levelAt[i] is the level at the
// start of bucket i: the doubles from 2^-13 up to 1 whose exponent and top 8
// mantissa bits are the same (each bucket holds at most one boundary: it
// spans at most 0.44 levels).
constexpr std::int64_t kFirstBucket = std::int64_t{1023 - 13} << 8;  // 2^-13's bits >> 44
constexpr std::int64_t kBuckets = 13 << 8;

struct SrgbBoundaries {
    std::array<double, 257> at{};
    std::array<std::uint8_t, kBuckets> levelAt{};
};

const SrgbBoundaries& Boundaries() {
    static const SrgbBoundaries b = [] {
        SrgbBoundaries s;
        s.at[0] = -std::numeric_limits<double>::infinity();
        s.at[256] = std::numeric_limits<double>::infinity();
        for (int k = 1; k <= 255; ++k) {
            // sRGB's inverse curve lands within a few units in the last place; step to the switch itself.
            double x = LinearFromSrgb((k - 0.5) / 255);
            while (SrgbLevel(x) >= k) x = std::nextafter(x, 0.0);
            while (SrgbLevel(x) < k) x = std::nextafter(x, 1.0);
            s.at[static_cast<std::size_t>(k)] = x;
        }
        for (std::size_t i = 0; i < kBuckets; ++i) {
            const std::uint64_t bits = static_cast<std::uint64_t>(kFirstBucket + static_cast<std::int64_t>(i)) << 44;
            double start;
            std::memcpy(&start, &bits, 8);
            const auto level = std::upper_bound(s.at.begin() + 1, s.at.end() - 1, start) - (s.at.begin() + 1);
            s.levelAt[i] = static_cast<std::uint8_t>(level);
            const std::uint64_t nextBits = bits + (std::uint64_t{1} << 44);
            double end;
            std::memcpy(&end, &nextBits, 8);
            TESSALY_ASSERT(level == 255 || s.at[static_cast<std::size_t>(level) + 2] >= end);
        }
        return s;
    }();
    return b;
}

// Kept out of line, so the common path of Level stays small enough to inline.
[[gnu::noinline]] int LevelAtBoundary(double y) { return SrgbLevel(y); }

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

ColourTransform::ColourTransform(const SourceSpace& source)
    : at_(Boundaries().at.data()), levelAt_(Boundaries().levelAt.data()) {
    // The pixel's bytes are blue, green, red: the tables follow that order.
    constexpr std::size_t kFromPixel[3] = {2, 1, 0};
    for (std::size_t c = 0; c < 3; ++c)
        for (std::size_t v = 0; v < 256; ++v)
            for (std::size_t o = 0; o < 3; ++o)
                exact_[c][v][o] = source.toSrgb[kFromPixel[o]][kFromPixel[c]] * source.linear[kFromPixel[c]][v];

    // The fixed-point scale: the largest sum a pixel can reach stays within 2^30.
    double reach = 0;
    for (std::size_t o = 0; o < 3; ++o) {
        double sum = 0;
        for (std::size_t c = 0; c < 3; ++c) {
            double most = 0;
            for (std::size_t v = 0; v < 256; ++v) most = std::max(most, std::fabs(exact_[c][v][o]));
            sum += most;
        }
        reach = std::max(reach, sum);
    }
    // Limit: a space whose sums reach past a million (no real one comes near 10) is left to the plain kernel.
    if (!(reach <= 1e6)) return;
    const double prescale = 0x1p-9 / 0.0031308;  // sRGB's power part starts at an octave
    int shift = 30;
    while (reach * std::ldexp(prescale, shift) > 0x1p30) --shift;
    const double scale = std::ldexp(prescale, shift);
    for (std::size_t c = 0; c < 3; ++c)
        for (std::size_t v = 0; v < 256; ++v)
            for (std::size_t o = 0; o < 3; ++o)
                fast_.columns[c][v][o] = static_cast<std::int32_t>(std::llround(exact_[c][v][o] * scale));
    fast_.top = static_cast<std::int32_t>(std::llround(scale));

    // The encoding's worst error, in levels, against the level the double sum
    // gives (the slope of sRGB's curve is at most 3294.6 levels per unit):
    const double error = 3294.7 * (1.5 / scale + 1e-12)  // three rounded columns, and the double sum's own roundings
                         + 112.2 * 0x1p-24                 // Y made a float: a relative error, times (5/12)(u + 14.025)
                         + 269.03 * (kSrgbPowerError + 0x1p-23)  // the polynomial; K rounded to float
                         + 2.0 / 65536                     // w's roundings (at most 1.5 units of 2^-16 levels)
                         + 1e-5;  // the linear part's roundings; the curve's two parts differ by 7.3e-6 at 0.0031308
    // A lane is flagged when its fraction lies in a window of twice the error
    // around a level boundary: the window is a power of two (in 2^-16 levels)
    // so one test of w's bits finds it, and w is shifted by half of it.
    std::uint32_t window = 1;
    while (window < 2 * error * 65536) window <<= 1;
    // Limit: a window past 1/16 level flags so many lanes that the plain kernel is faster.
    if (window > 4096) return;
    fast_.flagBits = 0xFFFFu & ~(window - 1);
    const double half = window / 2.0;
    fast_.powerBias = static_cast<float>((0.5 - 14.025) * 65536 + half);
    fast_.linearBias = static_cast<float>(0.5 * 65536 + half);
    fast_.slope = static_cast<float>(12.92 * 255 * 65536 / scale);
    // Below the power part, K is so large that the linear part is the smaller one.
    constexpr float kLinearPart = 0x1p100f;
    fast_.scaleBySlot.fill(kLinearPart);
    fast_.scaleHigh.fill(kLinearPart);
    fast_.scaleLow.fill(kLinearPart);
    for (int e = -9; e <= -1; ++e) {  // the octaves of y * prescale from 0.0031308 to 1
        const auto exponent = static_cast<std::size_t>(127 + shift + e);  // Y's float exponent field
        const auto k = static_cast<float>(269.025 * std::pow(std::ldexp(1.0, e) / prescale, 5.0 / 12) * 65536);
        fast_.scaleBySlot[exponent & 15] = k;
        (e >= -8 ? fast_.scaleHigh : fast_.scaleLow)[exponent & 7] = k;
    }
    fast_.lowOctaves = std::ldexp(1.0f, shift - 8);
    fast_.usable = true;
}

int ColourTransform::Level(double y) const {
    // Below 2^-13 (under the first boundary, 1.5e-4; negative values too, as
    // their bits are negative integers) read the first bucket; from 1 up, the
    // last, whose level is 255 with no boundary above.
    std::int64_t bits;
    std::memcpy(&bits, &y, 8);
    const std::int64_t bucket = std::clamp<std::int64_t>((bits >> 44) - kFirstBucket, 0, kBuckets - 1);
    const unsigned low = levelAt_[bucket];
    const double below = at_[low], above = at_[low + 1];
    // Right at a boundary sRGB's formula itself decides: pow's own rounding
    // could put the switch a unit in the last place from where it was found.
    if (std::min(std::fabs(y - above), y - below) < y * 0x1p-40) return LevelAtBoundary(y);
    return static_cast<int>(low) + (y >= above ? 1 : 0);
}

std::uint32_t ColourTransform::Pixel(std::uint32_t px) const {
    const auto& b = exact_[0][px & 0xFF];
    const auto& g = exact_[1][px >> 8 & 0xFF];
    const auto& r = exact_[2][px >> 16 & 0xFF];
    std::uint32_t out = px & 0xFF000000u;
    for (std::size_t o = 0; o < 3; ++o) {
        // The order the result is defined in: red's product and green's, then blue's.
        double y = r[o] + g[o];
        y += b[o];
        out |= static_cast<std::uint32_t>(Level(y)) << (8 * o);
    }
    return out;
}

void ColourTransform::ConvertScalar(std::span<std::uint32_t> pixels) const {
    for (std::uint32_t& px : pixels) px = Pixel(px);
}

void ColourTransform::Redo(const std::uint32_t* in, std::uint32_t* out, std::uint64_t flags, std::size_t n) const {
    for (std::size_t i = 0; i < n; ++i)
        if ((flags >> i & 1) != 0) out[i] = Pixel(in[i]);
}

const KernelFamily<ColourTransform::Kernel> ColourTransform::kKernels =
    KernelFamily<Kernel>(&ColourTransform::ConvertScalar)
#if defined(TESSALY_X86_DISPATCH)
        .With(Simd::Sse2, &ColourTransform::ConvertSse2)
        .With(Simd::Avx2, &ColourTransform::ConvertAvx2)
        .With(Simd::Avx512, &ColourTransform::ConvertAvx512)
#endif
    ;

void ColourTransform::Convert(std::span<std::uint32_t> pixels, Simd simd) const {
    // The AVX2 and AVX-512 kernels' scalar code uses BMI2, and AVX2's FMA;
    // a CPU with AVX2 but without them runs the SSE2 kernel.
    if (simd >= Simd::Avx2 && !(Cpu().fma && Cpu().bmi2)) simd = Simd::Sse2;
    const Kernel kernel = fast_.usable ? kKernels.At(simd) : kKernels.Plain();
    (this->*kernel)(pixels);
}

}  // namespace tessaly
