// Resampler properties, and one upscale checked against values computed
// independently here in double precision.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "bmp/read/resample.h"

namespace tessaly {
namespace {

std::vector<std::uint32_t> RandomImage(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint32_t> v(n);
    for (auto& p : v) p = rng();
    return v;
}

std::vector<std::uint32_t> Resample(const std::vector<std::uint32_t>& src, std::size_t sw, std::size_t sh,
                                    std::size_t dw, std::size_t dh) {
    std::vector<std::uint32_t> dst(dw * dh, 0);
    ResampleCubic(ConstImageView{src.data(), sw, sh}, ImageView{dst.data(), dw, dh});
    return dst;
}

TEST(Resample, OwnSizeIsIdentity) {
    const auto src = RandomImage(13 * 7, 1);
    EXPECT_EQ(Resample(src, 13, 7, 13, 7), src);
}

TEST(Resample, UniformStaysUniform) {
    const std::vector<std::uint32_t> src(31 * 17, 0x80FF1040u);
    for (const auto& [w, h] : {std::pair<std::size_t, std::size_t>{7, 4}, {100, 3}, {1, 1}, {62, 34}, {5, 90}}) {
        const auto out = Resample(src, 31, 17, w, h);
        for (const std::uint32_t p : out) ASSERT_EQ(p, 0x80FF1040u) << w << "x" << h;
    }
}

TEST(Resample, BottomUpArrivalGivesTheSameImage) {
    const auto src = RandomImage(20 * 15, 2);
    for (const auto& [w, h] : {std::pair<std::size_t, std::size_t>{7, 4}, {41, 33}, {20, 6}}) {
        std::vector<std::uint32_t> down(w * h), up(w * h);
        RowResampler a(20, 15, ImageView{down.data(), w, h}, false);
        for (std::size_t y = 0; y < 15; ++y) a.PushRow(y, {&src[y * 20], 20});
        RowResampler b(20, 15, ImageView{up.data(), w, h}, true);
        for (std::size_t y = 15; y-- > 0;) b.PushRow(y, {&src[y * 20], 20});
        EXPECT_EQ(down, up) << w << "x" << h;
    }
}

double Keys(double x) {
    x = std::fabs(x);
    if (x <= 1) return 1.5 * x * x * x - 2.5 * x * x + 1;
    if (x < 2) return -0.5 * x * x * x + 2.5 * x * x - 4 * x + 2;
    return 0;
}

// Channel c of the cubic resampling of a smooth image, computed directly.
double Reference(const std::vector<std::uint32_t>& src, std::size_t sw, std::size_t sh, std::size_t dw,
                 std::size_t dh, std::size_t x, std::size_t y, int c) {
    auto at = [&](long sx, long sy) {
        sx = std::clamp<long>(sx, 0, static_cast<long>(sw) - 1);
        sy = std::clamp<long>(sy, 0, static_cast<long>(sh) - 1);
        return static_cast<double>((src[static_cast<std::size_t>(sy) * sw + static_cast<std::size_t>(sx)] >> (8 * c)) & 0xFF);
    };
    const double fx = (static_cast<double>(x) + 0.5) * static_cast<double>(sw) / static_cast<double>(dw) - 0.5;
    const double fy = (static_cast<double>(y) + 0.5) * static_cast<double>(sh) / static_cast<double>(dh) - 0.5;
    double sum = 0;
    for (long j = static_cast<long>(std::floor(fy)) - 1; j <= static_cast<long>(std::floor(fy)) + 2; ++j)
        for (long i = static_cast<long>(std::floor(fx)) - 1; i <= static_cast<long>(std::floor(fx)) + 2; ++i)
            sum += Keys(fx - static_cast<double>(i)) * Keys(fy - static_cast<double>(j)) * at(i, j);
    return std::clamp(std::round(sum), 0.0, 255.0);
}

TEST(Resample, TwiceUpscaleMatchesDirectComputationWithinOne) {
    const std::size_t sw = 9, sh = 6;
    std::vector<std::uint32_t> src(sw * sh);
    for (std::size_t y = 0; y < sh; ++y)
        for (std::size_t x = 0; x < sw; ++x)
            src[y * sw + x] = static_cast<std::uint32_t>((x * 29 + y * 7) & 0xFF) |
                              static_cast<std::uint32_t>((x * x * 3 + y * 40) & 0xFF) << 8 |
                              static_cast<std::uint32_t>(255 - x * 20) << 16 | 0xFF000000u;
    const auto out = Resample(src, sw, sh, 2 * sw, 2 * sh);
    for (std::size_t y = 0; y < 2 * sh; ++y)
        for (std::size_t x = 0; x < 2 * sw; ++x)
            for (int c = 0; c < 4; ++c) {
                const double got = (out[y * 2 * sw + x] >> (8 * c)) & 0xFF;
                EXPECT_NEAR(got, Reference(src, sw, sh, 2 * sw, 2 * sh, x, y, c), 1.0) << x << "," << y << " c" << c;
            }
}

TEST(Resample, ShrinkingAveragesEverySourcePixel) {
    // A one-pixel-wide line every 4 columns: a 4x reduction must keep its energy
    // evenly (a 4-tap kernel would see some lines fully and others not at all).
    const std::size_t sw = 64, sh = 4;
    std::vector<std::uint32_t> src(sw * sh, 0xFF000000u);
    for (std::size_t y = 0; y < sh; ++y)
        for (std::size_t x = 1; x < sw; x += 4) src[y * sw + x] = 0xFFFFFFFFu;
    const auto out = Resample(src, sw, sh, sw / 4, 1);
    for (std::size_t x = 2; x + 2 < sw / 4; ++x) {
        const int v = static_cast<int>(out[x] & 0xFF);
        EXPECT_NEAR(v, 64, 6) << x;
    }
}

}  // namespace
}  // namespace tessaly

namespace tessaly {
namespace {

// The vector kernels compute the scalar kernels' integers exactly.
TEST(Resample, VectorKernelsMatchTheScalarReference) {
    if (BestResampleKernel() == ResampleKernel::Scalar) GTEST_SKIP() << "no vector kernel on this CPU";
    std::vector<ResampleKernel> kernels = {ResampleKernel::Sse2};
    if (BestResampleKernel() == ResampleKernel::Avx2) kernels.push_back(ResampleKernel::Avx2);
    std::mt19937 rng(9);
    for (const ResampleKernel kernel : kernels)
    for (const auto& [sw, dw] : {std::pair<std::size_t, std::size_t>{64, 16}, {37, 100}, {9, 3}, {3, 7}, {200, 51}, {5, 5}, {90, 10}, {1000, 77}}) {
        SCOPED_TRACE(std::to_string(sw) + " -> " + std::to_string(dw) + " kernel " + std::to_string(int(kernel)));
        const AxisWeights xs = BuildAxisWeights(sw, dw);
        std::vector<std::uint32_t> row(sw);
        for (auto& p : row) p = static_cast<std::uint32_t>(rng());
        std::vector<std::int16_t> a(4 * dw), b(4 * dw);
        HorizontalPass(row, xs, a.data(), ResampleKernel::Scalar);
        HorizontalPass(row, xs, b.data(), kernel);
        EXPECT_EQ(a, b);

        const AxisWeights ys = BuildAxisWeights(sw, dw);  // reuse as a vertical axis
        std::vector<std::vector<std::int16_t>> mids(ys.taps, std::vector<std::int16_t>(4 * dw + 11));
        std::vector<const std::int16_t*> rows;
        for (auto& m : mids) {
            for (auto& v : m) v = static_cast<std::int16_t>(static_cast<int>(rng() % 24000) - 4000);
            rows.push_back(m.data());
        }
        const std::size_t lanes = 4 * dw + 11;  // a tail after the 16- and 8-lane steps
        std::vector<std::uint8_t> c(lanes), d(lanes);
        for (std::size_t y = 0; y < dw; y += 7) {
            VerticalPass(rows.data(), ys, y, lanes, c.data(), ResampleKernel::Scalar);
            VerticalPass(rows.data(), ys, y, lanes, d.data(), kernel);
            EXPECT_EQ(c, d) << "row " << y;
        }
    }
}

}  // namespace
}  // namespace tessaly
