// Separable cubic resampling; see resample.h.
//
// Each arriving source row is resampled horizontally into 16-bit intermediate
// values with 6 fractional bits and kept in a ring of T rows (T = the
// vertical taps); an output row is combined from its T rows as soon as the
// last of them has arrived. Rows arriving bottom row first are handled by
// symmetry: counted from the bottom, the vertical weights are the same.
//
// Both passes accumulate exact 32-bit integer sums, so the SSE2 kernels give
// the scalar kernels' results bit for bit.
#include "bmp/read/resample.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TESSALY_HAVE_SSE2 1
#endif

#include "shell/assert.h"
#include "shell/cpu.h"

namespace tessaly {
namespace {

constexpr int kWeightBits = 14;
constexpr int kMidBits = 6;  // fractional bits of the intermediate rows
constexpr int kMidShift = kWeightBits - kMidBits;
constexpr int kOutShift = kWeightBits + kMidBits;

double Keys(double x) {
    constexpr double a = -0.5;
    x = std::fabs(x);
    if (x <= 1.0) return ((a + 2) * x - (a + 3)) * x * x + 1;
    if (x < 2.0) return ((a * x - 5 * a) * x + 8 * a) * x - 4 * a;
    return 0.0;
}

std::int16_t MidValue(std::int32_t acc) {
    return static_cast<std::int16_t>(std::clamp((acc + (1 << (kMidShift - 1))) >> kMidShift, -32768, 32767));
}

void HorizontalScalar(std::span<const std::uint32_t> src, const AxisWeights& xs, std::int16_t* out) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(src.data());
    const std::size_t taps = xs.taps;
    for (std::size_t x = 0; x < xs.first.size(); ++x) {
        const std::uint8_t* p = bytes + 4 * xs.first[x];
        const std::int16_t* w = &xs.weights[x * taps];
        std::int32_t acc[4] = {0, 0, 0, 0};
        for (std::size_t k = 0; k < taps; ++k)
            for (std::size_t c = 0; c < 4; ++c) acc[c] += w[k] * p[4 * k + c];
        for (std::size_t c = 0; c < 4; ++c) out[4 * x + c] = MidValue(acc[c]);
    }
}

// Lanes [begin, end) of one output row.
void VerticalScalar(const std::int16_t* const* rows, const std::int16_t* w, std::size_t taps, std::size_t begin,
                    std::size_t end, std::uint8_t* out) {
    for (std::size_t i = begin; i < end; ++i) {
        std::int32_t acc = 1 << (kOutShift - 1);
        for (std::size_t k = 0; k < taps; ++k) acc += w[k] * rows[k][i];
        out[i] = static_cast<std::uint8_t>(std::clamp(acc >> kOutShift, 0, 255));
    }
}

#ifdef TESSALY_HAVE_SSE2

// Four taps at a time: pixels p0..p3 are regrouped so each 16-bit pair holds
// one channel of two neighbouring pixels, and pmaddwd weighs a pair per lane;
// the last one to three taps are weighed one pixel at a time.
void HorizontalSse2(std::span<const std::uint32_t> src, const AxisWeights& xs, std::int16_t* out) {
    const std::size_t taps = xs.taps, groups = taps / 4, pairCount = xs.PairCount();
    const __m128i zero = _mm_setzero_si128();
    const __m128i round = _mm_set1_epi32(1 << (kMidShift - 1));
    const std::uint32_t* base = src.data();
    for (std::size_t x = 0; x < xs.first.size(); ++x) {
        const std::uint32_t* p = base + xs.first[x];
        const auto* w = reinterpret_cast<const __m128i*>(&xs.pairs[x * pairCount * 4]);
        __m128i acc = zero;
        const std::uint32_t* q = p;
        for (std::size_t g = 0; g < groups; ++g, q += 4, w += 2) {
            const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
            const __m128i s = _mm_shuffle_epi32(px, _MM_SHUFFLE(3, 1, 2, 0));  // p0 p2 p1 p3
            const __m128i pairs = _mm_unpacklo_epi8(s, _mm_unpackhi_epi64(s, s));  // p0p1 | p2p3, bytewise
            acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpacklo_epi8(pairs, zero), _mm_loadu_si128(w)));
            acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpackhi_epi8(pairs, zero), _mm_loadu_si128(w + 1)));
        }
        for (std::size_t k = 4 * groups; k < taps; ++k) {
            const __m128i px = _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(p[k])), zero);  // b g r a as 16 bits
            const __m128i wk = _mm_set1_epi32(static_cast<std::uint16_t>(xs.weights[x * taps + k]));
            acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpacklo_epi16(px, zero), wk));
        }
        acc = _mm_srai_epi32(_mm_add_epi32(acc, round), kMidShift);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 4 * x), _mm_packs_epi32(acc, acc));
    }
}

// Lanes [begin, lanes) of an output row.
void VerticalSse2Tail(const std::int16_t* const* rows, const AxisWeights& ys, std::size_t y, std::size_t begin,
                      std::size_t lanes, std::uint8_t* out) {
    const std::size_t taps = ys.taps;
    const std::int16_t* w = &ys.weights[y * taps];
    const auto* pairs = reinterpret_cast<const __m128i*>(&ys.pairs[y * ys.PairCount() * 4]);
    const __m128i round = _mm_set1_epi32(1 << (kOutShift - 1));
    const __m128i zero = _mm_setzero_si128();
    std::size_t i = begin;
    for (; i + 8 <= lanes; i += 8) {
        __m128i lo = round, hi = round;
        std::size_t k = 0;
        for (; k + 1 < taps; k += 2) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[k] + i));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[k + 1] + i));
            const __m128i wk = _mm_loadu_si128(pairs + k / 2);
            lo = _mm_add_epi32(lo, _mm_madd_epi16(_mm_unpacklo_epi16(a, b), wk));
            hi = _mm_add_epi32(hi, _mm_madd_epi16(_mm_unpackhi_epi16(a, b), wk));
        }
        if (k < taps) {  // an odd last tap: its pair's second weight is 0
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[k] + i));
            const __m128i wk = _mm_loadu_si128(pairs + k / 2);
            lo = _mm_add_epi32(lo, _mm_madd_epi16(_mm_unpacklo_epi16(a, a), wk));
            hi = _mm_add_epi32(hi, _mm_madd_epi16(_mm_unpackhi_epi16(a, a), wk));
        }
        lo = _mm_srai_epi32(lo, kOutShift);
        hi = _mm_srai_epi32(hi, kOutShift);
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(lo, hi), zero);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), bytes);
    }
    VerticalScalar(rows, w, taps, i, lanes, out);
}

void VerticalSse2(const std::int16_t* const* rows, const AxisWeights& ys, std::size_t y, std::size_t lanes,
                  std::uint8_t* out) {
    VerticalSse2Tail(rows, ys, y, 0, lanes, out);
}

#if defined(TESSALY_X86_DISPATCH)

// The SSE2 kernels' arithmetic on 256-bit registers: eight taps per step
// horizontally (each 128-bit half regroups four pixels), sixteen lanes per
// step vertically.
__attribute__((target("avx2"))) void HorizontalAvx2(std::span<const std::uint32_t> src, const AxisWeights& xs,
                                                    std::int16_t* out) {
    const std::size_t taps = xs.taps, pairCount = xs.PairCount();
    const std::size_t eights = taps / 8, fours = (taps % 8) / 4;
    const __m256i zero = _mm256_setzero_si256();
    const __m128i zero128 = _mm_setzero_si128();
    const __m128i round = _mm_set1_epi32(1 << (kMidShift - 1));
    for (std::size_t x = 0; x < xs.first.size(); ++x) {
        const std::uint32_t* p = src.data() + xs.first[x];
        const auto* w = reinterpret_cast<const __m128i*>(&xs.pairs[x * pairCount * 4]);
        __m256i acc = zero;
        for (std::size_t g = 0; g < eights; ++g, p += 8, w += 4) {
            const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
            const __m256i s = _mm256_shuffle_epi32(px, _MM_SHUFFLE(3, 1, 2, 0));
            const __m256i pairs = _mm256_unpacklo_epi8(s, _mm256_unpackhi_epi64(s, s));
            // Low halves weigh pixels 0-3 (pairs 0, 1), high halves pixels 4-7 (pairs 2, 3).
            const __m256i wLo = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(w)), _mm_loadu_si128(w + 2), 1);
            const __m256i wHi = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(w + 1)), _mm_loadu_si128(w + 3), 1);
            acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_unpacklo_epi8(pairs, zero), wLo));
            acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_unpackhi_epi8(pairs, zero), wHi));
        }
        __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
        if (fours) {
            const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i s = _mm_shuffle_epi32(px, _MM_SHUFFLE(3, 1, 2, 0));
            const __m128i pairs = _mm_unpacklo_epi8(s, _mm_unpackhi_epi64(s, s));
            sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_unpacklo_epi8(pairs, zero128), _mm_loadu_si128(w)));
            sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_unpackhi_epi8(pairs, zero128), _mm_loadu_si128(w + 1)));
        }
        for (std::size_t k = 8 * eights + 4 * fours; k < taps; ++k) {
            const __m128i px = _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(src[xs.first[x] + k])), zero128);
            const __m128i wk = _mm_set1_epi32(static_cast<std::uint16_t>(xs.weights[x * taps + k]));
            sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_unpacklo_epi16(px, zero128), wk));
        }
        sum = _mm_srai_epi32(_mm_add_epi32(sum, round), kMidShift);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 4 * x), _mm_packs_epi32(sum, sum));
    }
}

__attribute__((target("avx2"))) void VerticalAvx2(const std::int16_t* const* rows, const AxisWeights& ys,
                                                  std::size_t y, std::size_t lanes, std::uint8_t* out) {
    const std::size_t taps = ys.taps;
    const auto* pairs = reinterpret_cast<const __m128i*>(&ys.pairs[y * ys.PairCount() * 4]);
    const __m256i round = _mm256_set1_epi32(1 << (kOutShift - 1));
    const __m256i zero = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 16 <= lanes; i += 16) {
        __m256i lo = round, hi = round;
        std::size_t k = 0;
        for (; k + 1 < taps; k += 2) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k] + i));
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k + 1] + i));
            const __m256i wk = _mm256_broadcastsi128_si256(_mm_loadu_si128(pairs + k / 2));
            lo = _mm256_add_epi32(lo, _mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), wk));
            hi = _mm256_add_epi32(hi, _mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), wk));
        }
        if (k < taps) {  // an odd last tap: its pair's second weight is 0
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k] + i));
            const __m256i wk = _mm256_broadcastsi128_si256(_mm_loadu_si128(pairs + k / 2));
            lo = _mm256_add_epi32(lo, _mm256_madd_epi16(_mm256_unpacklo_epi16(a, a), wk));
            hi = _mm256_add_epi32(hi, _mm256_madd_epi16(_mm256_unpackhi_epi16(a, a), wk));
        }
        // Per 128-bit half: lanes 0-7 and 8-15 packed to bytes, then the two halves' low quadwords joined.
        const __m256i words = _mm256_packs_epi32(_mm256_srai_epi32(lo, kOutShift), _mm256_srai_epi32(hi, kOutShift));
        const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(words, zero), _MM_SHUFFLE(3, 1, 2, 0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm256_castsi256_si128(bytes));
    }
    VerticalSse2Tail(rows, ys, y, i, lanes, out);
}

#endif

#endif

}  // namespace

ResampleKernel BestResampleKernel() {
#if defined(TESSALY_X86_DISPATCH) && defined(TESSALY_HAVE_SSE2)
    if (__builtin_cpu_supports("avx2")) return ResampleKernel::Avx2;
#endif
#ifdef TESSALY_HAVE_SSE2
    return ResampleKernel::Sse2;
#else
    return ResampleKernel::Scalar;
#endif
}

void HorizontalPass(std::span<const std::uint32_t> src, const AxisWeights& xs, std::int16_t* out, ResampleKernel k) {
#if defined(TESSALY_X86_DISPATCH) && defined(TESSALY_HAVE_SSE2)
    if (k == ResampleKernel::Avx2) return HorizontalAvx2(src, xs, out);
#endif
#ifdef TESSALY_HAVE_SSE2
    if (k == ResampleKernel::Sse2) return HorizontalSse2(src, xs, out);
#endif
    (void)k;
    HorizontalScalar(src, xs, out);
}

void VerticalPass(const std::int16_t* const* rows, const AxisWeights& ys, std::size_t y, std::size_t lanes,
                  std::uint8_t* out, ResampleKernel k) {
#if defined(TESSALY_X86_DISPATCH) && defined(TESSALY_HAVE_SSE2)
    if (k == ResampleKernel::Avx2) return VerticalAvx2(rows, ys, y, lanes, out);
#endif
#ifdef TESSALY_HAVE_SSE2
    if (k == ResampleKernel::Sse2) return VerticalSse2(rows, ys, y, lanes, out);
#endif
    (void)k;
    VerticalScalar(rows, &ys.weights[y * ys.taps], ys.taps, 0, lanes, out);
}

AxisWeights BuildAxisWeights(std::size_t srcLen, std::size_t dstLen) {
    const double scale = static_cast<double>(srcLen) / static_cast<double>(dstLen);
    const double stretch = std::max(1.0, scale);  // widen the kernel when shrinking
    const double support = 2.0 * stretch;
    AxisWeights t;
    // The widest window any output coordinate needs (about 2 * support taps).
    std::size_t needed = 1;
    for (std::size_t i = 0; i < dstLen; ++i) {
        const double centre = (static_cast<double>(i) + 0.5) * scale - 0.5;
        const auto span = static_cast<std::int64_t>(std::floor(centre + support)) -
                          static_cast<std::int64_t>(std::floor(centre - support));
        needed = std::max(needed, static_cast<std::size_t>(span));
    }
    const std::size_t padded = (needed + 3) / 4 * 4;
    t.taps = padded <= srcLen ? padded : std::min(needed, srcLen);
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
    const std::size_t pairCount = t.PairCount();
    t.pairs.resize(dstLen * pairCount * 4);
    for (std::size_t i = 0; i < dstLen; ++i) {
        for (std::size_t j = 0; j < pairCount; ++j) {
            const std::int16_t* pw = &t.weights[i * t.taps + 2 * j];
            const std::uint16_t second = 2 * j + 1 < t.taps ? static_cast<std::uint16_t>(pw[1]) : 0;
            const auto pair = static_cast<std::int32_t>(static_cast<std::uint16_t>(pw[0]) | std::uint32_t{second} << 16);
            for (std::size_t r = 0; r < 4; ++r) t.pairs[(i * pairCount + j) * 4 + r] = pair;
        }
    }
    return t;
}

RowResampler::RowResampler(std::size_t srcWidth, std::size_t srcHeight, ImageView dst, bool bottomUp)
    : dst_(dst), bottomUp_(bottomUp), srcHeight_(srcHeight), kernel_(BestResampleKernel()),
      xs_(BuildAxisWeights(srcWidth, dst.width)), ys_(BuildAxisWeights(srcHeight, dst.height)),
      ring_(ys_.taps * dst.width * 4), window_(ys_.taps) {
    TESSALY_ASSERT(srcWidth > 0 && srcHeight > 0 && dst.width > 0 && dst.height > 0);
}

void RowResampler::PushRow(std::size_t y, std::span<const std::uint32_t> row) {
    const std::size_t arrival = bottomUp_ ? srcHeight_ - 1 - y : y;  // rows counted in arrival order
    HorizontalPass(row, xs_, &ring_[(arrival % ys_.taps) * dst_.width * 4], kernel_);
    EmitReady(arrival);
}

void RowResampler::EmitReady(std::size_t arrived) {
    const std::size_t lanes = dst_.width * 4;
    const std::size_t taps = ys_.taps;
    // Output rows in arrival order; their windows only move forward.
    while (nextOut_ < dst_.height && ys_.first[nextOut_] + taps - 1 <= arrived) {
        const std::size_t first = ys_.first[nextOut_];
        for (std::size_t k = 0; k < taps; ++k) window_[k] = &ring_[((first + k) % taps) * lanes];
        const std::size_t y = bottomUp_ ? dst_.height - 1 - nextOut_ : nextOut_;
        VerticalPass(window_.data(), ys_, nextOut_, lanes, reinterpret_cast<std::uint8_t*>(dst_.Row(y).data()),
                     kernel_);
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
