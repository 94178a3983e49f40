// The resampler against a double-precision model of the same kernel, at
// ratios from 1:1000 to 100000:1 on each axis, and its properties.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "bmp/read/resample.h"
#include "support/vector_check.h"

namespace tessaly {
namespace {

std::vector<std::uint32_t> RandomImage(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint32_t> v(n);
    for (auto& p : v) p = rng();
    return v;
}

// Feeds `src` row by row (bottom row first when asked), each row in the pieces
// the resampler asks for, or as runs of one colour when `runs` is set.
std::vector<std::uint32_t> Scale(const std::vector<std::uint32_t>& src, std::size_t sw, std::size_t sh, std::size_t dw,
                                 std::size_t dh, bool bottomUp = false, bool runs = false) {
    std::vector<std::uint32_t> dst(dw * dh, 0x5A5A5A5Au);
    RowResampler r(sw, sh, ImageView{dst.data(), dw, dh}, bottomUp);
    for (std::size_t k = 0; k < sh; ++k) {
        const std::size_t y = bottomUp ? sh - 1 - k : k;
        const std::uint32_t* row = &src[y * sw];
        if (runs && std::all_of(row, row + sw, [&](std::uint32_t p) { return p == row[0]; })) {
            r.FillRows(y, 1, row[0]);
            continue;
        }
        for (std::size_t x = 0; x < sw;) {
            std::size_t n = 1;
            while (runs && x + n < sw && row[x + n] == row[x]) ++n;
            if (runs) {
                r.Fill(y, x, n, row[x]);
            } else {
                const auto piece = r.Piece(y, x);
                n = piece.size();
                std::copy_n(row + x, n, piece.data());
                r.Commit(y, x, n);
            }
            x += n;
        }
    }
    return dst;
}

// The model in doubles: per axis, output i weighs source k by
// Keys((k - c_i) / stretch) with clamped edges, normalised by the weights' sum.
std::vector<double> ModelAxis(const std::vector<double>& in, std::size_t n, std::size_t stride, std::size_t count,
                              std::size_t dn) {
    const double scale = double(n) / double(dn), stretch = std::max(1.0, scale);
    std::vector<double> out(dn * count);
    for (std::size_t i = 0; i < dn; ++i) {
        const double c = (double(i) + 0.5) * scale - 0.5;
        double sum = 0;
        std::vector<double> acc(count, 0.0);
        for (long k = long(std::floor(c - 2 * stretch)); k <= long(std::ceil(c + 2 * stretch)); ++k) {
            const double w = Keys((double(k) - c) / stretch);
            if (w == 0) continue;
            const std::size_t at = std::size_t(std::clamp<long>(k, 0, long(n) - 1));
            for (std::size_t j = 0; j < count; ++j) acc[j] += w * in[at * stride + j];
            sum += w;
        }
        for (std::size_t j = 0; j < count; ++j) out[i * count + j] = acc[j] / sum;
    }
    return out;
}

TEST(Resample, WithinOneLevelOfTheModelAtEveryRatio) {
    struct Case {
        std::size_t sw, sh, dw, dh;
        const char* image;  // "step": left or top half black, the rest white; "noise": random bytes
    };
    const Case cases[] = {
        {3, 2, 3000, 2, "noise"},      {2, 3, 2, 3000, "noise"},       // 1:1000 each way
        {9, 6, 18, 12, "noise"},       {37, 23, 10, 7, "noise"},       // enlarging, shrinking (pulled)
        {640, 3, 20, 3, "noise"},      {3, 640, 3, 20, "noise"},       // 32:1, pushed
        {200000, 1, 2, 1, "step"},     {1, 200000, 1, 2, "step"},      // 100000:1
        {40000, 1, 1, 1, "step"},      {1, 12000, 1, 1, "step"},       // to one pixel
        {5, 900, 40, 7, "noise"},      {900, 5, 7, 40, "noise"},       // rows first; and its transpose
        {3, 10, 3, 3, "noise"},        {13, 7, 13, 3, "noise"},        // one axis at its own size
    };
    for (const Case& c : cases)
        for (const bool runs : {false, true}) {
            SCOPED_TRACE(std::to_string(c.sw) + "x" + std::to_string(c.sh) + " -> " + std::to_string(c.dw) + "x" +
                         std::to_string(c.dh) + (runs ? " as runs" : ""));
            std::vector<std::uint32_t> src = RandomImage(c.sw * c.sh, 7);
            if (std::string(c.image) == "step") {
                for (std::size_t y = 0; y < c.sh; ++y)
                    for (std::size_t x = 0; x < c.sw; ++x)
                        src[y * c.sw + x] = (c.sh == 1 ? x < c.sw / 2 : y < c.sh / 2) ? 0xFF000000u : 0xFFFFFFFFu;
            }
            const auto got = Scale(src, c.sw, c.sh, c.dw, c.dh, false, runs);
            std::vector<double> bytes(src.size() * 4);
            for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = double((src[i / 4] >> (8 * (i % 4))) & 0xFF);
            // Rows: each source row's samples across; then down each column.
            std::vector<double> across;
            for (std::size_t y = 0; y < c.sh; ++y) {
                const std::vector<double> row(bytes.begin() + long(y * c.sw * 4), bytes.begin() + long((y + 1) * c.sw * 4));
                const auto r = ModelAxis(row, c.sw, 4, 4, c.dw);
                across.insert(across.end(), r.begin(), r.end());
            }
            const auto model = ModelAxis(across, c.sh, c.dw * 4, c.dw * 4, c.dh);
            for (std::size_t i = 0; i < model.size(); ++i) {
                const double want = std::clamp(std::round(model[i]), 0.0, 255.0);
                const double have = double((got[i / 4] >> (8 * (i % 4))) & 0xFF);
                ASSERT_LE(std::fabs(have - want), 1.0) << "output " << i / 4 << " channel " << i % 4;
            }
        }
}

TEST(Resample, RowOrderChangesNothing) {
    for (const auto& [sw, sh, dw, dh] : {std::array<std::size_t, 4>{20, 15, 7, 4}, {20, 15, 41, 33}, {3, 10, 3, 3},
                                         {20, 400, 7, 4}, {5, 300, 40, 2}, {5, 30, 40, 2}, {31, 1000, 30, 3}}) {
        SCOPED_TRACE(std::to_string(sw) + "x" + std::to_string(sh) + " -> " + std::to_string(dw) + "x" + std::to_string(dh));
        const auto src = RandomImage(sw * sh, 2);
        EXPECT_EQ(Scale(src, sw, sh, dw, dh, false), Scale(src, sw, sh, dw, dh, true));
    }
}

TEST(Resample, OwnSizeIsIdentity) {
    const auto src = RandomImage(13 * 7, 1);
    std::vector<std::uint32_t> dst(13 * 7);
    ResampleCubic(ConstImageView{src.data(), 13, 7}, ImageView{dst.data(), 13, 7});
    EXPECT_EQ(dst, src);
    EXPECT_EQ(Scale(src, 13, 7, 13, 7), src);  // the resampler's own identity weights
}

TEST(Resample, UniformStaysUniform) {
    for (const auto& [sw, sh] : {std::pair<std::size_t, std::size_t>{31, 17}, {2000, 3}, {3, 2000}}) {
        const std::vector<std::uint32_t> src(sw * sh, 0x80FF1040u);
        for (const auto& [w, h] : {std::pair<std::size_t, std::size_t>{7, 4}, {100, 3}, {1, 1}, {62, 34}, {5, 90}}) {
            for (const bool runs : {false, true}) {
                const auto out = Scale(src, sw, sh, w, h, false, runs);
                for (const std::uint32_t p : out) ASSERT_EQ(p, 0x80FF1040u) << sw << "x" << sh << " -> " << w << "x" << h;
            }
        }
    }
}

TEST(Resample, ShrinkingAveragesEverySourcePixel) {
    // A one-pixel-wide line every 4 columns: a 4x reduction must keep its energy
    // evenly (a 4-tap kernel would see some lines fully and others not at all).
    const std::size_t sw = 64, sh = 4;
    std::vector<std::uint32_t> src(sw * sh, 0xFF000000u);
    for (std::size_t y = 0; y < sh; ++y)
        for (std::size_t x = 1; x < sw; x += 4) src[y * sw + x] = 0xFFFFFFFFu;
    const auto out = Scale(src, sw, sh, sw / 4, 1);
    for (std::size_t x = 2; x + 2 < sw / 4; ++x) EXPECT_NEAR(int(out[x] & 0xFF), 64, 6) << x;
}

TEST(Resample, KernelSumMatchesTheSumItStandsFor) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> centre(-50, 50), stretch(1, 40);
    for (int n = 0; n < 300; ++n) {
        const double c = centre(rng), s = n % 3 == 0 ? 1.0 : stretch(rng);
        const long lo = long(rng() % 200) - 120, hi = lo + long(rng() % 200) - 20;
        double sum = 0;
        for (long k = lo; k <= hi; ++k) sum += Keys((double(k) - c) / s);
        ASSERT_NEAR(KernelSum(c, s, lo, hi), sum, 1e-9 * std::max(1.0, s)) << c << " " << s << " [" << lo << ", " << hi << "]";
    }
}

// The vector kernels compute the scalar kernels' integers exactly, for
// every tap count the tables make (4, 8, 16, 32 and others, odd outputs too).
TEST(Resample, VectorKernelsMatchTheScalarTwins) {
    const std::pair<std::size_t, std::size_t> axes[] = {{64, 16}, {37, 100}, {9, 3},   {3, 7},    {200, 51},
                                                        {5, 5},   {90, 10},  {1000, 77}, {100, 50}, {400, 50},
                                                        {400, 49}};
    test::ExpectVectorMatchesScalar(std::size(axes) - 1, [&](std::size_t n, Simd level) {
        const auto [sw, dw] = axes[n];
        std::mt19937 rng(9);
        const AxisMap map(sw, dw);
        const PullTable xs = BuildPullTable(map, SampleKind::Byte);
        std::vector<std::uint32_t> row(sw);
        for (auto& p : row) p = static_cast<std::uint32_t>(rng());
        std::vector<std::int16_t> mids(4 * dw);
        (xs.chunks.empty() ? kHorizontalPass.Plain() : kHorizontalPass.At(level))(row, xs, mids.data());
        // The same axis as a vertical one, over rows of mids with a tail after the 32- and 8-lane steps.
        const std::size_t taps = PullTaps(map), lanes = 4 * dw + 11;
        std::vector<std::vector<std::int16_t>> in(taps, std::vector<std::int16_t>(lanes));
        std::vector<const std::int16_t*> rows;
        for (auto& m : in) {
            for (auto& v : m) v = static_cast<std::int16_t>(static_cast<int>(rng() % 24000) - 4000);
            rows.push_back(m.data());
        }
        std::vector<std::uint8_t> bytes;
        for (std::size_t y = 0; y < dw; y += 7) {
            std::vector<std::uint8_t> out(lanes);
            kVerticalPass.At(level)(rows.data(), MakeOutputWeights(map, y, taps, SampleKind::Mid), taps, lanes, out.data());
            bytes.insert(bytes.end(), out.begin(), out.end());
        }
        return std::make_pair(mids, bytes);
    });
}

}  // namespace
}  // namespace tessaly
