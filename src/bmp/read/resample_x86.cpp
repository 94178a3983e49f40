// SSE2 and AVX2 pull kernels; see resample_x86.h. Both passes sum exact 32-bit
// integers with pmaddwd (two 16-bit products per 32-bit lane), so each gives
// its scalar twin's results bit for bit.
#include "bmp/read/resample_x86.h"

#if defined(TESSALY_RESAMPLE_X86)

#include <emmintrin.h>

#include <array>
#include <cstring>

namespace tessaly {
namespace {

constexpr int kMidBits = 6;

// The weight pair (w[k], w[k + 1]) in every 32-bit lane.
__m128i PairOf(const std::int16_t* w) {
    std::int32_t pair;
    std::memcpy(&pair, w, 4);
    return _mm_set1_epi32(pair);
}

}  // namespace

// Four taps at a time: pixels p0..p3 are regrouped so each 16-bit pair holds
// one channel of two neighbouring pixels, and pmaddwd weighs a pair per lane
// with the table's ready-made chunk of weights.
void HorizontalSse2(std::span<const std::uint32_t> src, const PullTable& xs, std::int16_t* out) {
    const std::size_t taps = xs.taps, pairs = taps / 2;
    const __m128i zero = _mm_setzero_si128();
    const int shift = static_cast<int>(xs.bits) - kMidBits;
    const __m128i round = _mm_set1_epi32(1 << (shift - 1));
    const __m128i count = _mm_cvtsi32_si128(shift);
    for (std::size_t x = 0; x < xs.first.size(); ++x) {
        const std::uint32_t* p = src.data() + xs.first[x];
        const auto* w = reinterpret_cast<const __m128i*>(&xs.chunks[x * pairs * 4]);
        __m128i acc = zero;
        for (std::size_t k = 0; k < taps; k += 4) {
            const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
            const __m128i s = _mm_shuffle_epi32(px, _MM_SHUFFLE(3, 1, 2, 0));      // p0 p2 p1 p3
            const __m128i both = _mm_unpacklo_epi8(s, _mm_unpackhi_epi64(s, s));   // p0p1 | p2p3, bytewise
            acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpacklo_epi8(both, zero), _mm_loadu_si128(w + PairChunk(k / 2, taps))));
            acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpackhi_epi8(both, zero), _mm_loadu_si128(w + PairChunk(k / 2 + 1, taps))));
        }
        acc = _mm_sra_epi32(_mm_add_epi32(acc, round), count);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 4 * x), _mm_packs_epi32(acc, acc));
    }
}

namespace {

// Lanes [begin, lanes) of an output row.
void VerticalSse2From(const std::int16_t* const* rows, const OutputWeights& w, std::size_t taps, std::size_t begin,
                      std::size_t lanes, std::uint8_t* out) {
    const int shift = static_cast<int>(w.bits) + kMidBits;
    const __m128i round = _mm_set1_epi32(1 << (shift - 1));
    const __m128i count = _mm_cvtsi32_si128(shift);
    const __m128i zero = _mm_setzero_si128();
    // The weight pairs once per row; an odd last tap is paired with a weight of 0.
    __m128i pairs[kMaxPullTaps / 2];
    for (std::size_t k = 0; k < taps; k += 2) {
        const std::int16_t pair[2] = {w.w[k], k + 1 < taps ? w.w[k + 1] : std::int16_t{0}};
        pairs[k / 2] = PairOf(pair);
    }
    std::size_t i = begin;
    for (; i + 8 <= lanes; i += 8) {
        __m128i lo = round, hi = round;
        for (std::size_t k = 0; k < taps; k += 2) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[k] + i));
            const __m128i b = k + 1 < taps ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[k + 1] + i)) : a;
            lo = _mm_add_epi32(lo, _mm_madd_epi16(_mm_unpacklo_epi16(a, b), pairs[k / 2]));
            hi = _mm_add_epi32(hi, _mm_madd_epi16(_mm_unpackhi_epi16(a, b), pairs[k / 2]));
        }
        const __m128i words = _mm_packs_epi32(_mm_sra_epi32(lo, count), _mm_sra_epi32(hi, count));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(words, zero));
    }
    // Four lanes (one pixel) the same way: a narrow target's whole row.
    for (; i + 4 <= lanes; i += 4) {
        __m128i lo = round;
        for (std::size_t k = 0; k < taps; k += 2) {
            const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(rows[k] + i));
            const __m128i b = k + 1 < taps ? _mm_loadl_epi64(reinterpret_cast<const __m128i*>(rows[k + 1] + i)) : a;
            lo = _mm_add_epi32(lo, _mm_madd_epi16(_mm_unpacklo_epi16(a, b), pairs[k / 2]));
        }
        const __m128i words = _mm_packs_epi32(_mm_sra_epi32(lo, count), zero);
        const auto four = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(words, zero)));
        std::memcpy(out + i, &four, 4);
    }
    VerticalScalarLanes(rows, w, taps, i, lanes, out);
}

}  // namespace

void VerticalSse2(const std::int16_t* const* rows, const OutputWeights& w, std::size_t taps, std::size_t lanes,
                  std::uint8_t* out) {
    VerticalSse2From(rows, w, taps, 0, lanes, out);
}

namespace {

// Two outputs per step, each over its taps eight at a time, their sums
// combined so the rounding, packing and store serve both. `Eights` fixed at
// compile time for the common tap counts (8, 16, 32); 0 takes it at run time.
// Returns the outputs done (all but an odd last one).
template <std::size_t Eights>
__attribute__((target("avx2"))) std::size_t HorizontalAvx2Eights(const PullTable& xs, const std::uint32_t* base,
                                                                   std::size_t outputs, const __m256i round,
                                                                   const __m128i count, std::int16_t* out) {
    const std::size_t eights = Eights != 0 ? Eights : xs.taps / 8;
    const __m256i zero = _mm256_setzero_si256();
    const __m256i interleave = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15,
                                                0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    const auto* table = reinterpret_cast<const __m256i*>(xs.chunks.data());
    const std::uint32_t* first = xs.first.data();
    std::size_t x = 0;
    for (; x + 2 <= outputs; x += 2) {
        const std::uint32_t* pa = base + first[x];
        const std::uint32_t* pb = base + first[x + 1];
        const __m256i* wa = table + x * 2 * eights;
        const __m256i* wb = wa + 2 * eights;
        __m256i accA = zero, accB = zero;
        for (std::size_t g = 0; g < eights; ++g) {
            const __m256i ta = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(pa + 8 * g)), interleave);
            const __m256i tb = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(pb + 8 * g)), interleave);
            accA = _mm256_add_epi32(accA, _mm256_madd_epi16(_mm256_unpacklo_epi8(ta, zero), _mm256_loadu_si256(wa + 2 * g)));
            accB = _mm256_add_epi32(accB, _mm256_madd_epi16(_mm256_unpacklo_epi8(tb, zero), _mm256_loadu_si256(wb + 2 * g)));
            accA = _mm256_add_epi32(accA, _mm256_madd_epi16(_mm256_unpackhi_epi8(ta, zero), _mm256_loadu_si256(wa + 2 * g + 1)));
            accB = _mm256_add_epi32(accB, _mm256_madd_epi16(_mm256_unpackhi_epi8(tb, zero), _mm256_loadu_si256(wb + 2 * g + 1)));
        }
        // [A's low half | B's low half] + [A's high half | B's high half]: each output's four sums.
        const __m256i sums = _mm256_add_epi32(_mm256_permute2x128_si256(accA, accB, 0x20),
                                              _mm256_permute2x128_si256(accA, accB, 0x31));
        const __m256i shifted = _mm256_sra_epi32(_mm256_add_epi32(sums, round), count);
        const __m256i words = _mm256_permute4x64_epi64(_mm256_packs_epi32(shifted, shifted), _MM_SHUFFLE(3, 1, 2, 0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * x), _mm256_castsi256_si128(words));
    }
    return x;
}

}  // namespace

// Per 128-bit half, four pixels p0..p3 become [b0 b1 g0 g1 r0 r1 a0 a1 | b2 b3 ...]:
// unpacked to 16 bits, each pair of channel values meets a weight pair in pmaddwd.
// Eight taps per step for one output; with four taps, two outputs per step
// (one in each half), which halves the work of enlarging.
__attribute__((target("avx2"))) void HorizontalAvx2(std::span<const std::uint32_t> src, const PullTable& xs,
                                                    std::int16_t* out) {
    const std::size_t taps = xs.taps, pairs = taps / 2, outputs = xs.first.size();
    const __m256i zero = _mm256_setzero_si256();
    const __m256i interleave = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15,
                                                0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    const int shift = static_cast<int>(xs.bits) - kMidBits;
    const __m256i round = _mm256_set1_epi32(1 << (shift - 1));
    const __m128i count = _mm_cvtsi32_si128(shift);
    const std::uint32_t* base = src.data();
    const auto* table = reinterpret_cast<const __m128i*>(xs.chunks.data());
    std::size_t x = 0;
    if (taps == 4) {
        for (; x + 2 <= outputs; x += 2) {
            const __m256i px = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(base + xs.first[x + 1]),
                                                   reinterpret_cast<const __m128i*>(base + xs.first[x]));
            const __m256i t = _mm256_shuffle_epi8(px, interleave);
            const __m128i* w = table + x * 2;
            __m256i acc = _mm256_add_epi32(round, _mm256_madd_epi16(_mm256_unpacklo_epi8(t, zero), _mm256_loadu2_m128i(w + 2, w)));
            acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_unpackhi_epi8(t, zero), _mm256_loadu2_m128i(w + 3, w + 1)));
            const __m256i words = _mm256_packs_epi32(_mm256_sra_epi32(acc, count), zero);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * x),
                             _mm256_castsi256_si128(_mm256_permute4x64_epi64(words, _MM_SHUFFLE(3, 1, 2, 0))));
        }
    }
    if (taps % 8 == 0) {
        switch (taps / 8) {
        case 1: x = HorizontalAvx2Eights<1>(xs, base, outputs, round, count, out); break;
        case 2: x = HorizontalAvx2Eights<2>(xs, base, outputs, round, count, out); break;
        case 4: x = HorizontalAvx2Eights<4>(xs, base, outputs, round, count, out); break;
        default: x = HorizontalAvx2Eights<0>(xs, base, outputs, round, count, out); break;
        }
    }
    const __m128i round128 = _mm256_castsi256_si128(round);
    for (; x < outputs; ++x) {
        const std::uint32_t* p = base + xs.first[x];
        const __m128i* w = table + x * pairs;
        __m256i acc = zero;
        std::size_t k = 0;
        for (; k + 8 <= taps; k += 8, w += 4) {
            const __m256i t = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + k)), interleave);
            acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_unpacklo_epi8(t, zero), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w))));
            acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_unpackhi_epi8(t, zero), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 2))));
        }
        __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
        if (k < taps) {  // a last group of four
            const __m128i t = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k)),
                                               _mm256_castsi256_si128(interleave));
            const __m128i z = _mm_setzero_si128();
            sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_unpacklo_epi8(t, z), _mm_loadu_si128(w)));
            sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_unpackhi_epi8(t, z), _mm_loadu_si128(w + 1)));
        }
        sum = _mm_sra_epi32(_mm_add_epi32(sum, round128), count);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 4 * x), _mm_packs_epi32(sum, sum));
    }
}

namespace {

// Thirty-two lanes per step: each pair of rows meets its weight pair in
// pmaddwd, the sums kept in four registers. `Pairs` fixed at compile time for
// the common tap counts (4, 8, 16) unrolls the pairs completely; 0 takes the
// count at run time.
template <std::size_t Pairs>
__attribute__((target("avx2"))) std::size_t VerticalAvx2Steps(const std::int16_t* const* rows, const __m256i* weights,
                                                                std::size_t pairCount, std::size_t lanes,
                                                                const __m256i round, const __m128i count,
                                                                std::uint8_t* out) {
    const std::size_t pairs = Pairs != 0 ? Pairs : pairCount;
    std::size_t i = 0;
    for (; i + 32 <= lanes; i += 32) {
        __m256i acc0 = round, acc1 = round, acc2 = round, acc3 = round;
        for (std::size_t p = 0; p < pairs; ++p) {
            const std::int16_t* ra = rows[2 * p] + i;
            const std::int16_t* rb = rows[2 * p + 1] + i;
            const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ra));
            const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rb));
            const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ra + 16));
            const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rb + 16));
            const __m256i w = weights[p];
            acc0 = _mm256_add_epi32(acc0, _mm256_madd_epi16(_mm256_unpacklo_epi16(a0, b0), w));
            acc1 = _mm256_add_epi32(acc1, _mm256_madd_epi16(_mm256_unpackhi_epi16(a0, b0), w));
            acc2 = _mm256_add_epi32(acc2, _mm256_madd_epi16(_mm256_unpacklo_epi16(a1, b1), w));
            acc3 = _mm256_add_epi32(acc3, _mm256_madd_epi16(_mm256_unpackhi_epi16(a1, b1), w));
        }
        // Per 128-bit half the lanes come out in order once packed: 0-7 | 8-15 and 16-23 | 24-31.
        const __m256i w0 = _mm256_packs_epi32(_mm256_sra_epi32(acc0, count), _mm256_sra_epi32(acc1, count));
        const __m256i w1 = _mm256_packs_epi32(_mm256_sra_epi32(acc2, count), _mm256_sra_epi32(acc3, count));
        const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(w0, w1), _MM_SHUFFLE(3, 1, 2, 0));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), bytes);
    }
    return i;
}

}  // namespace

__attribute__((target("avx2"))) void VerticalAvx2(const std::int16_t* const* rows, const OutputWeights& w,
                                                  std::size_t taps, std::size_t lanes, std::uint8_t* out) {
    const int shift = static_cast<int>(w.bits) + kMidBits;
    const __m256i round = _mm256_set1_epi32(1 << (shift - 1));
    const __m128i count = _mm_cvtsi32_si128(shift);
    // Rows and weights in pairs; an odd last tap is paired with its own row at weight 0.
    const std::size_t pairs = (taps + 1) / 2;
    const std::int16_t* paired[kMaxPullTaps + 1];
    __m256i weights[kMaxPullTaps / 2];
    for (std::size_t k = 0; k < taps; ++k) paired[k] = rows[k];
    paired[taps] = rows[taps - 1];
    for (std::size_t p = 0; p < pairs; ++p) {
        const std::int16_t pair[2] = {w.w[2 * p], 2 * p + 1 < taps ? w.w[2 * p + 1] : std::int16_t{0}};
        weights[p] = _mm256_broadcastsi128_si256(PairOf(pair));
    }
    std::size_t done = 0;
    switch (pairs) {
    case 2: done = VerticalAvx2Steps<2>(paired, weights, pairs, lanes, round, count, out); break;
    case 4: done = VerticalAvx2Steps<4>(paired, weights, pairs, lanes, round, count, out); break;
    case 8: done = VerticalAvx2Steps<8>(paired, weights, pairs, lanes, round, count, out); break;
    default: done = VerticalAvx2Steps<0>(paired, weights, pairs, lanes, round, count, out); break;
    }
    VerticalSse2From(rows, w, taps, done, lanes, out);
}

}  // namespace tessaly

#endif
