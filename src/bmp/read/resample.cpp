// Separable cubic resampling; see resample.h.
//
// Each arriving source row is resampled horizontally into 16-bit intermediate
// values with 6 fractional bits and kept in a ring of T rows (T = the
// vertical taps); an output row is combined from its T rows as soon as the
// last of them has arrived. Rows arriving bottom row first are handled by
// symmetry: counted from the bottom, the vertical weights are the same.
#include "bmp/read/resample.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "shell/assert.h"

namespace tessaly {
namespace {

constexpr int kWeightBits = 14;
constexpr int kMidBits = 6;  // fractional bits of the intermediate rows

double Keys(double x) {
    constexpr double a = -0.5;
    x = std::fabs(x);
    if (x <= 1.0) return ((a + 2) * x - (a + 3)) * x * x + 1;
    if (x < 2.0) return ((a * x - 5 * a) * x + 8 * a) * x - 4 * a;
    return 0.0;
}

// One source row to dst width intermediate pixels (4 values each).
void ResampleRow(std::span<const std::uint32_t> src, const AxisWeights& xs, std::int16_t* out) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(src.data());
    const std::size_t taps = xs.taps;
    for (std::size_t x = 0; x < xs.first.size(); ++x) {
        const std::uint8_t* p = bytes + 4 * xs.first[x];
        const std::int16_t* w = &xs.weights[x * taps];
        std::int32_t acc[4] = {0, 0, 0, 0};
        for (std::size_t k = 0; k < taps; ++k)
            for (std::size_t c = 0; c < 4; ++c) acc[c] += w[k] * p[4 * k + c];
        constexpr int shift = kWeightBits - kMidBits;
        for (std::size_t c = 0; c < 4; ++c)
            out[4 * x + c] = static_cast<std::int16_t>(std::clamp((acc[c] + (1 << (shift - 1))) >> shift, -32768, 32767));
    }
}

}  // namespace

AxisWeights BuildAxisWeights(std::size_t srcLen, std::size_t dstLen) {
    const double scale = static_cast<double>(srcLen) / static_cast<double>(dstLen);
    const double stretch = std::max(1.0, scale);  // widen the kernel when shrinking
    const double support = 2.0 * stretch;
    AxisWeights t;
    t.taps = std::min<std::size_t>(srcLen, static_cast<std::size_t>(std::ceil(2 * support)) + 1);
    t.first.resize(dstLen);
    t.weights.assign(dstLen * t.taps, 0);
    std::vector<double> w(t.taps);
    const auto last = static_cast<std::int64_t>(srcLen) - 1;
    const auto maxStart = static_cast<std::int64_t>(srcLen - t.taps);
    for (std::size_t i = 0; i < dstLen; ++i) {
        const double centre = (static_cast<double>(i) + 0.5) * scale - 0.5;
        const auto lo = static_cast<std::int64_t>(std::floor(centre - support)) + 1;
        const auto hi = static_cast<std::int64_t>(std::floor(centre + support));
        const std::int64_t start = std::clamp<std::int64_t>(lo, 0, maxStart);
        std::fill(w.begin(), w.end(), 0.0);
        double sum = 0;
        for (std::int64_t k = lo; k <= hi; ++k) {
            const double v = Keys((static_cast<double>(k) - centre) / stretch);
            // Clamped edges: a tap beyond the source weighs on its edge pixel.
            const std::int64_t slot = std::clamp<std::int64_t>(k, 0, last) - start;
            w[static_cast<std::size_t>(slot)] += v;
            sum += v;
        }
        t.first[i] = static_cast<std::size_t>(start);
        std::int16_t* out = &t.weights[i * t.taps];
        int total = 0;
        std::size_t largest = 0;
        for (std::size_t k = 0; k < t.taps; ++k) {
            out[k] = static_cast<std::int16_t>(std::lround(w[k] / sum * (1 << kWeightBits)));
            total += out[k];
            if (std::abs(out[k]) > std::abs(out[largest])) largest = k;
        }
        // Rounding leftovers go to the largest weight, so a flat image stays exactly flat.
        out[largest] = static_cast<std::int16_t>(out[largest] + ((1 << kWeightBits) - total));
    }
    return t;
}

RowResampler::RowResampler(std::size_t srcWidth, std::size_t srcHeight, ImageView dst, bool bottomUp)
    : dst_(dst), bottomUp_(bottomUp), srcHeight_(srcHeight), xs_(BuildAxisWeights(srcWidth, dst.width)),
      ys_(BuildAxisWeights(srcHeight, dst.height)), ring_(ys_.taps * dst.width * 4), acc_(dst.width * 4) {
    TESSALY_ASSERT(srcWidth > 0 && srcHeight > 0 && dst.width > 0 && dst.height > 0);
}

void RowResampler::PushRow(std::size_t y, std::span<const std::uint32_t> row) {
    const std::size_t arrival = bottomUp_ ? srcHeight_ - 1 - y : y;  // rows counted in arrival order
    const std::size_t lane = dst_.width * 4;
    ResampleRow(row, xs_, &ring_[(arrival % ys_.taps) * lane]);
    EmitReady(arrival);
}

void RowResampler::EmitReady(std::size_t arrived) {
    const std::size_t lane = dst_.width * 4;
    const std::size_t taps = ys_.taps;
    // Output rows in arrival order; their windows only move forward.
    while (nextOut_ < dst_.height && ys_.first[nextOut_] + taps - 1 <= arrived) {
        const std::size_t first = ys_.first[nextOut_];
        const std::int16_t* w = &ys_.weights[nextOut_ * taps];
        std::fill(acc_.begin(), acc_.end(), 1 << (kWeightBits + kMidBits - 1));
        for (std::size_t k = 0; k < taps; ++k) {
            const std::int16_t* src = &ring_[((first + k) % taps) * lane];
            const std::int32_t wk = w[k];
            std::int32_t* acc = acc_.data();
            for (std::size_t i = 0; i < lane; ++i) acc[i] += wk * src[i];
        }
        const std::size_t y = bottomUp_ ? dst_.height - 1 - nextOut_ : nextOut_;
        auto* out = reinterpret_cast<std::uint8_t*>(dst_.Row(y).data());
        for (std::size_t i = 0; i < lane; ++i)
            out[i] = static_cast<std::uint8_t>(std::clamp(acc_[i] >> (kWeightBits + kMidBits), 0, 255));
        ++nextOut_;
    }
}

void ResampleCubic(ConstImageView src, ImageView dst) {
    if (src.width == dst.width && src.height == dst.height) {
        std::memcpy(dst.pixels, src.pixels, src.width * src.height * 4);
        return;
    }
    RowResampler resampler(src.width, src.height, dst, false);
    for (std::size_t y = 0; y < src.height; ++y) resampler.PushRow(y, src.Row(y));
}

}  // namespace tessaly
