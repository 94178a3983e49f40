// Colours as the file means them: matrix/TRC profiles and calibrated RGB
// converted as Little CMS (a test-only oracle) converts them, every space the
// reader cannot or need not use shown as stored, the conversion before the
// resampler, every kernel exact for every colour, and the vector kernels
// against the plain one.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <tuple>

#include "bmp/read/colour_transform.h"
#include "shell/bmp_codec.h"
#include "support/bmp_builder.h"
#include "support/codec.h"
#include "support/vector_check.h"

#if defined(TESSALY_HAVE_LCMS)
#include <lcms2.h>
#endif

namespace tessaly::test {
namespace {

constexpr std::uint32_t kEmbedded = 0x4D424544, kLinked = 0x4C494E4B;
using Colorants = std::array<std::array<double, 3>, 3>;
// Adobe RGB's and sRGB's colorants relative to D50, as profiles store them.
constexpr Colorants kWideColorants = {{{0.6097, 0.3111, 0.0195}, {0.2053, 0.6257, 0.0609}, {0.1492, 0.0632, 0.7446}}};
constexpr Colorants kSrgbColorants = {{{0.4361, 0.2225, 0.0139}, {0.3851, 0.7169, 0.0971}, {0.1431, 0.0606, 0.7141}}};

// A 24-bit V5 (or V4) file whose one row holds every colour of a grid of levels, dark ones close together.
BmpBuilder GridFile(std::uint32_t headerSize = 124) {
    constexpr std::uint8_t kLevels[] = {0, 1, 3, 8, 17, 30, 55, 90, 128, 170, 210, 240, 254, 255};
    Bytes row;
    for (const std::uint8_t r : kLevels)
        for (const std::uint8_t g : kLevels)
            for (const std::uint8_t b : kLevels) row.insert(row.end(), {b, g, r});
    BmpBuilder f;
    f.headerSize = headerSize;
    f.width = static_cast<std::int32_t>(row.size() / 3);
    f.pixels = PadRows({row});
    return f;
}

std::vector<std::uint32_t> Load(BmpCodec& codec, const TempDir& /*dir*/, const BmpBuilder& file, std::int32_t w,
                                std::int32_t h) {
    std::vector<std::uint32_t> out(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    EXPECT_EQ(LoadBytes(codec, file.Build(), out.data(), w, h), Reason::None);
    return out;
}

std::vector<std::uint32_t> Stored(const BmpBuilder& file) {
    std::vector<std::uint32_t> px;
    for (std::size_t i = 0; i + 3 <= file.pixels.size() && px.size() < static_cast<std::size_t>(file.width); i += 3)
        px.push_back(0xFF000000u | std::uint32_t{file.pixels[i + 2]} << 16 | std::uint32_t{file.pixels[i + 1]} << 8 |
                     file.pixels[i]);
    return px;
}

TEST(ColourSpace, SpacesShownAsStored) {
    const Bytes wide = MatrixTrcProfile(kWideColorants, 1.8);
    auto patched = [&](std::size_t at, const char* bytes) {
        Bytes p = wide;
        std::memcpy(&p[at], bytes, 4);
        return p;
    };
    // The tag table starts at 132: entry t's signature at 132 + 12t, its offset 4 bytes on.
    // The three TRC entries share one curve tag at 264 (16 bytes).
    auto negativeGamma = [&] {
        Bytes p = patched(264, "para");
        std::memcpy(&p[276], "\xFF\xFE\x00\x00", 4);  // type 0 (bytes 272-275 zero), gamma -2.0 in s15.16
        for (std::size_t t = 3; t < 6; ++t) p[132 + 12 * t + 11] = 16;
        return p;
    };
    const struct {
        const char* name;
        std::uint32_t headerSize, colourSpace;
        Bytes profile;
        std::array<std::uint32_t, 12> calibration;
    } cases[] = {
        {"sRGB's colorants and gamma 2.2 (sRGB as many profiles store it)", 124, kEmbedded, MatrixTrcProfile(kSrgbColorants, 2.2), {}},
        {"a linked profile is never opened", 124, kLinked, wide, {}},
        {"no bTRC tag", 124, kEmbedded, patched(132 + 12 * 5, "bTRX"), {}},
        {"rXYZ's offset outside the profile", 124, kEmbedded, patched(132 + 4, "\x7F\xFF\xFF\xF0"), {}},
        {"a gray profile", 124, kEmbedded, patched(16, "GRAY"), {}},
        {"a parametric curve with a negative gamma", 124, kEmbedded, negativeGamma(), {}},
        {"profile cut short", 124, kEmbedded, Bytes(wide.begin(), wide.begin() + 200), {}},
        {"calibrated RGB with all endpoints zero", 108, 0, {}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x23333, 0x23333, 0x23333}},
        // sRGB's chromaticities (x, y, z in 2.30) and gamma 2.2: the V4 header's way of saying sRGB.
        {"calibrated sRGB", 108, 0, {},
         {0x28F5C28F, 0x151EB852, 0x01EB851F, 0x13333333, 0x26666666, 0x06666666, 0x0999999A, 0x03D70A3D, 0x328F5C29,
          0x23333, 0x23333, 0x23333}},
    };
    TempDir dir;
    auto codec = std::make_unique<BmpCodec>();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BmpBuilder f = GridFile(c.headerSize);
        f.colourSpace = c.colourSpace;
        f.profile = c.profile;
        f.calibration = c.calibration;
        EXPECT_EQ(Load(*codec, dir, f, f.width, 1), Stored(f));
    }
}

TEST(ColourSpace, ConversionComesBeforeScaling) {
    // Converting after the resampler averaged stored levels would give other pixels than
    // scaling the converted picture, which is what the file means.
    BmpBuilder f;
    f.headerSize = 124;
    f.width = f.height = 16;
    std::vector<Bytes> rows;
    for (std::uint8_t y = 0; y < 16; ++y) {
        Bytes row;
        for (std::uint8_t x = 0; x < 16; ++x)
            row.insert(row.end(), {static_cast<std::uint8_t>((x + y) % 2 ? 250 : 5), static_cast<std::uint8_t>(x * 16),
                                   static_cast<std::uint8_t>(y * 16)});
        rows.push_back(row);
    }
    f.pixels = PadRows(rows);
    f.colourSpace = kEmbedded;
    f.profile = MatrixTrcProfile(kWideColorants, 1.8);
    TempDir dir;
    auto codec = std::make_unique<BmpCodec>();
    const auto converted = Load(*codec, dir, f, 16, 16);
    BmpBuilder plain;
    plain.width = plain.height = 16;
    plain.bitCount = 32;
    plain.pixels.resize(converted.size() * 4);
    for (std::size_t y = 0; y < 16; ++y)  // stored bottom row first
        std::memcpy(&plain.pixels[y * 64], &converted[(15 - y) * 16], 64);
    ASSERT_NE(Load(*codec, dir, f, 16, 16), Stored(f));
    EXPECT_EQ(Load(*codec, dir, f, 5, 7), Load(*codec, dir, plain, 5, 7));
}

TEST(ColourSpace, IndexedPicturesConvertAsDirectColoursDo) {
    // An indexed picture's table is converted once instead of every pixel: each
    // pixel must come out as the same colour stored in 24 bits does.
    std::vector<std::uint32_t> palette(256);
    for (std::uint32_t i = 0; i < 256; ++i) palette[i] = (i * 0x3B5D17u + 0x0F0301u) & 0xFFFFFF;
    std::vector<Bytes> rows24, rows8;
    Bytes rle;
    for (std::uint32_t y = 0; y < 16; ++y) {
        Bytes row24, row8;
        for (std::uint32_t x = 0; x < 16; ++x) {
            const std::uint32_t i = 16 * (15 - y) + x, c = palette[i];  // stored bottom row first
            row24.insert(row24.end(), {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c >> 8),
                                       static_cast<std::uint8_t>(c >> 16)});
            row8.push_back(static_cast<std::uint8_t>(i));
            rle.insert(rle.end(), {1, static_cast<std::uint8_t>(i)});
        }
        rle.insert(rle.end(), {0, 0});
        rows24.push_back(row24);
        rows8.push_back(row8);
    }
    rle.insert(rle.end(), {0, 1});
    auto v5 = [](std::uint16_t bits, std::uint32_t compression, Bytes pixels, std::vector<std::uint32_t> table) {
        BmpBuilder f;
        f.headerSize = 124;
        f.width = f.height = 16;
        f.bitCount = bits;
        f.compression = compression;
        f.pixels = std::move(pixels);
        f.palette = std::move(table);
        f.colourSpace = kEmbedded;
        f.profile = MatrixTrcProfile(kWideColorants, 1.8);
        return f;
    };
    TempDir dir;
    auto codec = std::make_unique<BmpCodec>();
    const auto direct = Load(*codec, dir, v5(24, 0, PadRows(rows24), {}), 16, 16);
    EXPECT_EQ(Load(*codec, dir, v5(8, 0, PadRows(rows8), palette), 16, 16), direct);
    EXPECT_EQ(Load(*codec, dir, v5(8, 1, rle, palette), 16, 16), direct);
    BmpBuilder plain = v5(24, 0, PadRows(rows24), {});
    plain.colourSpace = 0;
    plain.profile.clear();
    EXPECT_NE(Load(*codec, dir, plain, 16, 16), direct);
}

TEST(ColourSpace, VectorKernelMatchesTheScalarOne) {
    SourceSpace space;
    for (std::size_t c = 0; c < 3; ++c)
        for (std::size_t v = 0; v < 256; ++v) space.linear[c][v] = std::pow(v / 255.0, 1.2 + 0.4 * c);
    space.toSrgb = {{{1.4, -0.3, -0.1}, {-0.05, 1.2, -0.15}, {0.02, -0.2, 1.18}}};
    const ColourTransform t(space);
    ExpectVectorMatchesScalar(67, [&](std::size_t n, Simd simd) {
        std::mt19937 rng(static_cast<unsigned>(n));
        std::vector<std::uint32_t> pixels(n * 15);  // up to 1005 pixels, every length mod 16
        for (auto& px : pixels) px = static_cast<std::uint32_t>(rng());
        t.Convert(pixels, simd);
        return pixels;
    });
}

// The level colour_transform.h defines, worked out here on its own: the
// double products summed in its order, and the level found among sRGB's level
// boundaries, each found by bisecting the doubles of [0, 1].
class ExpectedLevels {
public:
    ExpectedLevels() {
        at_[0] = -INFINITY;
        at_[256] = INFINITY;
        for (int k = 1; k <= 255; ++k) {
            std::uint64_t low = 0, high = 0x3FF0000000000000u;  // the bits of 0.0 and 1.0
            while (high - low > 1) {
                const std::uint64_t mid = low + (high - low) / 2;
                (SrgbLevel(Double(mid)) >= k ? high : low) = mid;
            }
            at_[static_cast<std::size_t>(k)] = Double(high);
        }
    }
    // Pixel px converted; `hint` holds each channel's level before, so walking
    // from it takes a step or two when the colours come in order.
    std::uint32_t Pixel(const SourceSpace& s, std::uint32_t px, std::array<std::size_t, 3>& hint) const {
        std::uint32_t out = px & 0xFF000000u;
        for (std::size_t o = 0; o < 3; ++o) {  // red, green, blue
            const double r = s.toSrgb[o][0] * s.linear[0][px >> 16 & 0xFF];
            const double g = s.toSrgb[o][1] * s.linear[1][px >> 8 & 0xFF];
            const double b = s.toSrgb[o][2] * s.linear[2][px & 0xFF];
            double y = r + g;
            y += b;
            std::size_t& level = hint[o];
            while (y >= at_[level + 1]) ++level;
            while (y < at_[level]) --level;
            out |= static_cast<std::uint32_t>(level) << (8 * (2 - o));
        }
        return out;
    }

private:
    static double Double(std::uint64_t bits) {
        double d;
        std::memcpy(&d, &bits, 8);
        return d;
    }
    std::array<double, 257> at_{};
};

using Chromaticities = std::array<std::array<double, 2>, 3>;
constexpr std::array<double, 2> kD65White = {0.3127, 0.3290}, kD50White = {0.3457, 0.3585};
constexpr Chromaticities kSrgbChromaticities = {{{0.64, 0.33}, {0.30, 0.60}, {0.15, 0.06}}};

SourceSpace Space(const Chromaticities& primaries, const std::array<double, 2>& white,
                  const std::function<double(double)>& curve) {
    SourceSpace s;
    for (std::size_t c = 0; c < 3; ++c)
        for (std::size_t v = 0; v < 256; ++v) s.linear[c][v] = curve(v / 255.0);
    // A D50 white goes through the profile connection space, as a profile's colorants do.
    const Matrix3 toXyz = RgbToXyz(primaries, white);
    s.toSrgb = white == kD50White ? Multiply(SrgbFromPcs(), toXyz)
                                  : Multiply(Inverse(RgbToXyz(kSrgbChromaticities, kD65White)), toXyz);
    return s;
}

struct ExhaustiveCase {
    const char* name;
    SourceSpace space;
};

std::vector<ExhaustiveCase> ExhaustiveCases() {
    return {
        {"AdobeRgb1998", Space({{{0.64, 0.33}, {0.21, 0.71}, {0.15, 0.06}}}, kD65White,
                               [](double x) { return std::pow(x, 563 / 256.0); })},
        {"DisplayP3", Space({{{0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}}}, kD65White, LinearFromSrgb)},
        {"ProPhotoRgb", Space({{{0.7347, 0.2653}, {0.1596, 0.8404}, {0.0366, 0.0001}}}, kD50White,
                              [](double x) { return x < 1.0 / 32 ? x / 16 : std::pow(x, 1.8); })},
        // A narrow gamut's large and negative matrix entries, a raised black and an
        // S-shaped curve: sums far outside [0, 1], many lanes sent to the plain kernel.
        {"NarrowRaisedBlackSCurve", Space({{{0.50, 0.36}, {0.33, 0.45}, {0.22, 0.20}}}, kD65White,
                                          [](double x) { return 0.02 + 0.98 * x * x * (3 - 2 * x); })},
    };
}

// One space and one kernel per test, so each stays within the emulated lanes'
// time limit (AVX2 under qemu-i386 takes a minute).
class EveryColour : public testing::TestWithParam<std::tuple<std::size_t, Simd>> {};

TEST_P(EveryColour, IsTheDoublePrecisionLevel) {
    const ExhaustiveCase c = ExhaustiveCases()[std::get<0>(GetParam())];
    const Simd level = std::get<1>(GetParam());
    const ColourTransform t(c.space);
    const ExpectedLevels expected;
    std::vector<std::uint32_t> want(1 << 16), got(1 << 16);
    for (std::uint32_t red = 0; red < 256; ++red) {
        std::array<std::size_t, 3> hint{};
        for (std::uint32_t i = 0; i < want.size(); ++i) {
            want[i] = expected.Pixel(c.space, 0x5A000000u | red << 16 | i, hint);
            got[i] = 0x5A000000u | red << 16 | i;
        }
        t.Convert(got, level);
        ASSERT_EQ(got, want) << "red " << red;
    }
}

// Every level this CPU runs that has a colour kernel of its own (SSSE3 runs SSE2's, VBMI AVX-512's).
std::vector<Simd> ColourKernels() {
    std::vector<Simd> kernels;
    for (const Simd level : AvailableSimd())
        if (level != Simd::Ssse3 && level != Simd::Avx512Vbmi) kernels.push_back(level);
    return kernels;
}

std::string CaseName(const testing::TestParamInfo<EveryColour::ParamType>& info) {
    constexpr const char* kLevel[] = {"Plain", "Sse2", "Ssse3", "Avx2", "Avx512", "Avx512Vbmi"};
    return std::string(ExhaustiveCases()[std::get<0>(info.param)].name) + "On" +
           kLevel[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Spaces, EveryColour,
                         testing::Combine(testing::Range<std::size_t>(0, 4), testing::ValuesIn(ColourKernels())),
                         CaseName);

#if defined(TESSALY_X86_DISPATCH) && defined(__x86_64__)

float PowerSeparate(float m) {  // the SSE2 kernel's arithmetic
    const __m128 x = _mm_set_ss(m);
    __m128 p = _mm_set_ss(kSrgbPower[6]);
    for (std::size_t i = 6; i-- > 0;) p = _mm_add_ss(_mm_mul_ss(p, x), _mm_set_ss(kSrgbPower[i]));
    return _mm_cvtss_f32(p);
}

__attribute__((target("fma"))) float PowerFused(float m) {  // the AVX2 and AVX-512 kernels'
    const __m128 x = _mm_set_ss(m);
    __m128 p = _mm_set_ss(kSrgbPower[6]);
    for (std::size_t i = 6; i-- > 0;) p = _mm_fmadd_ss(p, x, _mm_set_ss(kSrgbPower[i]));
    return _mm_cvtss_f32(p);
}

// The bound every kernel's margin is built on, for every float m in [1, 2)
// (IEEE arithmetic, the same for the 32-bit build's SSE2, checked once here).
TEST(ColourSpace, PowerPolynomialHoldsItsBoundForEveryMantissa) {
    double separate = 0, fused = 0;
    for (std::uint32_t bits = 0x3F800000u; bits < 0x40000000u; ++bits) {
        float m;
        std::memcpy(&m, &bits, 4);
        const double exact = std::pow(static_cast<double>(m), 5.0 / 12);
        separate = std::max(separate, std::fabs(PowerSeparate(m) - exact) / exact);
        if (Cpu().fma) fused = std::max(fused, std::fabs(PowerFused(m) - exact) / exact);
    }
    EXPECT_LE(separate, kSrgbPowerError);
    EXPECT_LE(fused, kSrgbPowerError);
}

#endif

#if defined(TESSALY_HAVE_LCMS)

struct Profile {
    cmsHPROFILE handle;
    explicit Profile(cmsHPROFILE h) : handle(h) {}
    ~Profile() { cmsCloseProfile(handle); }
    Profile(const Profile&) = delete;
    Profile& operator=(const Profile&) = delete;
    Bytes Saved() const {
        cmsUInt32Number n = 0;
        cmsSaveProfileToMem(handle, nullptr, &n);
        Bytes b(n);
        cmsSaveProfileToMem(handle, b.data(), &n);
        return b;
    }
};

constexpr cmsCIExyY kD65 = {0.3127, 0.3290, 1}, kD50 = {0.3457, 0.3585, 1};
constexpr cmsCIExyYTRIPLE kAdobe = {{0.64, 0.33, 1}, {0.21, 0.71, 1}, {0.15, 0.06, 1}};
constexpr cmsCIExyYTRIPLE kProPhoto = {{0.7347, 0.2653, 1}, {0.1596, 0.8404, 1}, {0.0366, 0.0001, 1}};
constexpr cmsCIExyYTRIPLE kP3 = {{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}};
constexpr cmsCIExyYTRIPLE kNarrow = {{0.55, 0.35, 1}, {0.33, 0.50, 1}, {0.20, 0.18, 1}};
constexpr cmsCIExyYTRIPLE kSrgbReordered = {{0.30, 0.60, 1}, {0.64, 0.33, 1}, {0.15, 0.06, 1}};

// An RGB profile of the given white, primaries and one curve for all channels
// (lcms's curve types are the ICC's plus one), saved as `version`. Curves stay
// within [0, 1]: ICC profiles clip values outside it, as the reader does, where
// Little CMS lets them through.
std::unique_ptr<Profile> RgbProfile(const cmsCIExyY& white, const cmsCIExyYTRIPLE& primaries, cmsToneCurve* curve,
                                    double version) {
    cmsToneCurve* curves[3] = {curve, curve, curve};
    auto p = std::make_unique<Profile>(cmsCreateRGBProfile(&white, &primaries, curves));
    cmsFreeToneCurve(curve);
    cmsSetProfileVersion(p->handle, version);
    return p;
}

cmsToneCurve* Parametric(int icc, std::vector<double> params) {
    return cmsBuildParametricToneCurve(nullptr, icc + 1, params.data());
}

cmsToneCurve* SShapedTable() {
    std::vector<cmsUInt16Number> t(1024);
    for (std::size_t i = 0; i < t.size(); ++i) {
        const double x = static_cast<double>(i) / 1023;
        t[i] = static_cast<cmsUInt16Number>(std::lround(65535 * (x * x * (3 - 2 * x)) * std::pow(x, 0.7)));
    }
    return cmsBuildTabulatedToneCurve16(nullptr, static_cast<cmsUInt32Number>(t.size()), t.data());
}

std::uint32_t Fixed2Dot30(double v) { return static_cast<std::uint32_t>(std::lround(v * 1073741824.0)); }

TEST(ColourSpace, ConvertedAsLittleCmsConvertsThem) {
    // A calibrated case stores the profile's primaries and gamma in the header (of headerSize bytes) instead.
    const struct {
        const char* name;
        std::unique_ptr<Profile> profile;
        std::uint32_t headerSize = 124;
        const cmsCIExyYTRIPLE* calibrated = nullptr;
        double gamma = 0;
    } cases[] = {
        {"Adobe RGB primaries, gamma 1.8 as a u8.8 curv", RgbProfile(kD65, kAdobe, cmsBuildGamma(nullptr, 1.8), 2.1)},
        {"ProPhoto primaries, D50 white, para type 0 (gamma 2.4)", RgbProfile(kD50, kProPhoto, Parametric(0, {2.4}), 4.3)},
        {"narrow gamut, para type 1", RgbProfile(kD65, kNarrow, Parametric(1, {2.6, 0.95, 0.05}), 4.3)},
        {"narrow gamut, para type 2 (raised black)", RgbProfile(kD65, kNarrow, Parametric(2, {2.0, 0.88, 0.1, 0.02}), 4.3)},
        {"Adobe RGB (1998): D65, gamma 563/256 as a u8.8 curv (not sRGB's curve)",
         RgbProfile(kD65, kAdobe, cmsBuildGamma(nullptr, 563 / 256.0), 2.1)},
        {"Display P3: D65, sRGB's curve as para type 3",
         RgbProfile(kD65, kP3, Parametric(3, {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045}), 4.3)},
        {"ProPhoto RGB: D50, gamma 1.8 with its linear toe (para type 3)",
         RgbProfile(kD50, kProPhoto, Parametric(3, {1.8, 1, 0, 1 / 16.0, 1 / 32.0}), 4.3)},
        {"Adobe RGB primaries, para type 4",
         RgbProfile(kD65, kAdobe, Parametric(4, {2.5, 0.895, 0.1, 0.08, 0.1, 0.005, 0.001}), 4.3)},
        {"para type 4 saved as a version 2 curv table",
         RgbProfile(kD65, kAdobe, Parametric(4, {2.5, 0.895, 0.1, 0.08, 0.1, 0.005, 0.001}), 2.1)},
        {"ProPhoto primaries, 1024-entry S-shaped table", RgbProfile(kD50, kProPhoto, SShapedTable(), 4.3)},
        {"sRGB primaries, linear light",
         RgbProfile(kD65, {{0.64, 0.33, 1}, {0.30, 0.60, 1}, {0.15, 0.06, 1}}, cmsBuildGamma(nullptr, 1.0), 4.3)},
        {"sRGB's primaries and curve, red and green swapped",
         RgbProfile(kD65, kSrgbReordered, Parametric(3, {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045}), 4.3)},
        {"calibrated RGB in a V4 header: narrow gamut, gamma 1.8",
         RgbProfile(kD65, kNarrow, cmsBuildGamma(nullptr, 1.8), 4.3), 108, &kNarrow, 1.8},
        {"calibrated RGB in a V5 header: Adobe RGB primaries, gamma 1.5",
         RgbProfile(kD65, kAdobe, cmsBuildGamma(nullptr, 1.5), 4.3), 124, &kAdobe, 1.5},
        {"calibrated RGB in a V4 header: Adobe RGB primaries, gamma 2.2 (sRGB's stand-in only with sRGB's primaries)",
         RgbProfile(kD65, kAdobe, cmsBuildGamma(nullptr, 0x23333 / 65536.0), 4.3), 108, &kAdobe, 0x23333 / 65536.0},
    };
    Profile srgb(cmsCreate_sRGBProfile());
    TempDir dir;
    auto codec = std::make_unique<BmpCodec>();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BmpBuilder f = GridFile(c.headerSize);
        const Bytes saved = c.profile->Saved();
        if (c.calibrated) {
            const cmsCIExyY xy[3] = {c.calibrated->Red, c.calibrated->Green, c.calibrated->Blue};
            for (std::size_t k = 0; k < 3; ++k) {
                f.calibration[3 * k] = Fixed2Dot30(xy[k].x);
                f.calibration[3 * k + 1] = Fixed2Dot30(xy[k].y);
                f.calibration[3 * k + 2] = Fixed2Dot30(1 - xy[k].x - xy[k].y);
                f.calibration[9 + k] = static_cast<std::uint32_t>(std::lround(c.gamma * 65536));
            }
        } else {
            f.colourSpace = kEmbedded;
            f.profile = saved;
        }
        const auto ours = Load(*codec, dir, f, f.width, 1);
        // Little CMS, from the very bytes the file holds, at its most precise (no optimised tables).
        Profile source(cmsOpenProfileFromMem(saved.data(), static_cast<cmsUInt32Number>(saved.size())));
        const cmsHTRANSFORM t = cmsCreateTransform(source.handle, TYPE_BGR_8, srgb.handle, TYPE_BGR_8,
                                                   INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOOPTIMIZE | cmsFLAGS_NOCACHE);
        ASSERT_NE(t, nullptr);
        Bytes theirs(f.pixels.size());
        cmsDoTransform(t, f.pixels.data(), theirs.data(), static_cast<cmsUInt32Number>(ours.size()));
        cmsDeleteTransform(t);
        int worst = 0;
        for (std::size_t i = 0; i < ours.size(); ++i) {
            EXPECT_EQ(ours[i] >> 24, 0xFFu);
            for (std::size_t k = 0; k < 3; ++k)
                worst = std::max(worst, std::abs(static_cast<int>(ours[i] >> (8 * k) & 0xFF) - theirs[3 * i + k]));
        }
        EXPECT_LE(worst, 1);
        EXPECT_NE(ours, Stored(f));
    }
    // lcms's own sRGB profile: recognised as sRGB and not converted at all.
    BmpBuilder f = GridFile();
    f.colourSpace = kEmbedded;
    f.profile = srgb.Saved();
    EXPECT_EQ(Load(*codec, dir, f, f.width, 1), Stored(f));
}

#endif

}  // namespace
}  // namespace tessaly::test
