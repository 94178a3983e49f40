// The vector colour conversion kernels (SSE2, AVX2, AVX-512); see
// colour_transform.h for the encoding and the error it is flagged against.
//
// Each pixel's three column entries are plain 16-byte loads at addresses made
// from its bytes (no gathers: on some CPUs a gather costs several times its
// loads), summed as integers (exactly) into one 4-lane group: the outputs
// blue, green, red and a fourth lane that is always 0 and comes out as level
// 0, which alpha then replaces. The SSE2 kernel encodes one pixel per
// register, AVX2 two, AVX-512 four. Lanes flagged as too near a level
// boundary send their pixel to the plain kernel (a few in ten thousand).
#include "bmp/read/colour_transform.h"

#if defined(TESSALY_X86_DISPATCH)

#include <algorithm>

namespace tessaly {

namespace {

using Encoding = ColourTransform::Encoding;

// One pixel's columns summed: fixed-point Y for blue, green, red, and 0.
inline __m128i Sum(const Encoding& e, std::uint32_t px) {
    const auto* base = reinterpret_cast<const std::uint8_t*>(e.columns.data());
    constexpr std::size_t kTable = 256 * 16;
    __m128i s = _mm_load_si128(reinterpret_cast<const __m128i*>(base + ((px & 0xFF) << 4)));
    s = _mm_add_epi32(s, _mm_load_si128(reinterpret_cast<const __m128i*>(base + kTable + ((px >> 4) & 0xFF0))));
    return _mm_add_epi32(s, _mm_load_si128(reinterpret_cast<const __m128i*>(base + 2 * kTable + ((px >> 12) & 0xFF0))));
}

// Pixel i of a block is flagged when any of its lanes (bits 4i to 4i + 3) is.
std::uint64_t PixelFlags(std::uint64_t lanes, std::size_t pixels) {
    std::uint64_t out = 0;
    for (std::size_t i = 0; i < pixels; ++i)
        if ((lanes >> (4 * i) & 0xF) != 0) out |= std::uint64_t{1} << i;
    return out;
}

constexpr std::uint32_t kAlpha = 0xFF000000u;

// ---- SSE2: one pixel per register, separate multiplies and adds ----

struct Sse2Constants {
    explicit Sse2Constants(const Encoding& e)
        : one(_mm_set1_ps(1)), top(_mm_set1_ps(static_cast<float>(e.top))), mantissa(_mm_set1_epi32(0x007FFFFF)),
          unit(_mm_set1_epi32(0x3F800000)), slope(_mm_set1_ps(e.slope)), powerBias(_mm_set1_ps(e.powerBias)),
          linearBias(_mm_set1_ps(e.linearBias)), flagBits(_mm_set1_epi32(static_cast<int>(e.flagBits))),
          alpha(_mm_set1_epi32(static_cast<int>(kAlpha))) {
        for (std::size_t i = 0; i < 7; ++i) power[i] = _mm_set1_ps(kSrgbPower[i]);
    }
    __m128 one, top;
    __m128i mantissa, unit;
    __m128 slope, powerBias, linearBias;
    __m128i flagBits, alpha;
    __m128 power[7];
};

// One pixel's levels (in the low byte of each lane); `flags` gets the lanes near a boundary.
inline __m128i LevelsSse2(const Sse2Constants& k, const Encoding& e, __m128i sum, int& flags) {
    // The clamp to [1, top] on the float is the integer clamp: the conversion keeps order.
    const __m128 y = _mm_min_ps(_mm_max_ps(_mm_cvtepi32_ps(sum), k.one), k.top);
    const __m128i bits = _mm_castps_si128(y);
    const __m128 m = _mm_castsi128_ps(_mm_or_si128(_mm_and_si128(bits, k.mantissa), k.unit));
    alignas(16) std::uint32_t slot[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(slot), _mm_srli_epi32(bits, 23));
    const __m128 scale = _mm_setr_ps(e.scaleBySlot[slot[0] & 15], e.scaleBySlot[slot[1] & 15],
                                     e.scaleBySlot[slot[2] & 15], e.scaleBySlot[slot[3] & 15]);
    __m128 p = k.power[6];
    for (std::size_t i = 6; i-- > 0;) p = _mm_add_ps(_mm_mul_ps(p, m), k.power[i]);
    const __m128 w = _mm_min_ps(_mm_add_ps(_mm_mul_ps(scale, p), k.powerBias),
                                _mm_add_ps(_mm_mul_ps(y, k.slope), k.linearBias));
    const __m128i whole = _mm_cvttps_epi32(w);
    flags = _mm_movemask_ps(
        _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(whole, k.flagBits), _mm_setzero_si128())));
    return _mm_srli_epi32(whole, 16);
}

}  // namespace

void ColourTransform::ConvertSse2(std::span<std::uint32_t> pixels) const {
    const Sse2Constants k(fast_);
    std::uint32_t* p = pixels.data();
    const std::size_t n = pixels.size();
    std::size_t x = 0;
    for (; x + 4 <= n; x += 4) {
        int f0, f1, f2, f3;
        const __m128i l0 = LevelsSse2(k, fast_, Sum(fast_, p[x]), f0);
        const __m128i l1 = LevelsSse2(k, fast_, Sum(fast_, p[x + 1]), f1);
        const __m128i l2 = LevelsSse2(k, fast_, Sum(fast_, p[x + 2]), f2);
        const __m128i l3 = LevelsSse2(k, fast_, Sum(fast_, p[x + 3]), f3);
        const __m128i levels = _mm_packus_epi16(_mm_packs_epi32(l0, l1), _mm_packs_epi32(l2, l3));
        auto* q = reinterpret_cast<__m128i*>(p + x);
        const __m128i out = _mm_or_si128(levels, _mm_and_si128(_mm_loadu_si128(q), k.alpha));
        const int lanes = f0 | f1 << 4 | f2 << 8 | f3 << 12;
        if (lanes == 0) {
            _mm_storeu_si128(q, out);
        } else {
            alignas(16) std::uint32_t block[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(block), out);
            Redo(p + x, block, PixelFlags(static_cast<std::uint64_t>(lanes), 4), 4);
            std::copy_n(block, 4, p + x);
        }
    }
    for (; x < n; ++x) {
        int f;
        const __m128i l = LevelsSse2(k, fast_, Sum(fast_, p[x]), f);
        const __m128i levels = _mm_packus_epi16(_mm_packs_epi32(l, l), _mm_setzero_si128());
        p[x] = f != 0 ? Pixel(p[x]) : static_cast<std::uint32_t>(_mm_cvtsi128_si32(levels)) | (p[x] & kAlpha);
    }
}

// ---- AVX2: two pixels per register ----

namespace {

struct Avx2Constants {
    __attribute__((target("avx2,fma"))) explicit Avx2Constants(const Encoding& e)
        : one(_mm256_set1_epi32(1)), top(_mm256_set1_epi32(e.top)), mantissa(_mm256_set1_epi32(0x007FFFFF)),
          unit(_mm256_set1_epi32(0x3F800000)), high(_mm256_load_ps(e.scaleHigh.data())),
          low(_mm256_load_ps(e.scaleLow.data())), lowOctaves(_mm256_set1_ps(e.lowOctaves)),
          slope(_mm256_set1_ps(e.slope)), powerBias(_mm256_set1_ps(e.powerBias)),
          linearBias(_mm256_set1_ps(e.linearBias)), flagBits(_mm256_set1_epi32(static_cast<int>(e.flagBits))),
          order(_mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)), alpha(_mm_set1_epi32(static_cast<int>(kAlpha))) {
        for (std::size_t i = 0; i < 7; ++i) power[i] = _mm256_set1_ps(kSrgbPower[i]);
    }
    __m256i one, top, mantissa, unit;
    __m256 high, low, lowOctaves, slope, powerBias, linearBias;
    __m256i flagBits, order;
    __m128i alpha;
    __m256 power[7];
};

// Two pixels' levels (low byte of each lane) and their lanes near a boundary.
__attribute__((target("avx2,fma,bmi2"))) inline __m256i LevelsAvx2(const Avx2Constants& k, const Encoding& e,
                                                                   const std::uint32_t* px, int& flags) {
    const __m256i sum = _mm256_inserti128_si256(_mm256_castsi128_si256(Sum(e, px[0])), Sum(e, px[1]), 1);
    const __m256 y = _mm256_cvtepi32_ps(_mm256_min_epi32(_mm256_max_epi32(sum, k.one), k.top));
    const __m256i bits = _mm256_castps_si256(y);
    const __m256 m = _mm256_castsi256_ps(_mm256_or_si256(_mm256_and_si256(bits, k.mantissa), k.unit));
    // Nine octaves take K from two 8-entry tables: the lowest one's slot is the highest's.
    const __m256i slot = _mm256_srli_epi32(bits, 23);
    const __m256 scale = _mm256_blendv_ps(_mm256_permutevar8x32_ps(k.high, slot), _mm256_permutevar8x32_ps(k.low, slot),
                                          _mm256_cmp_ps(y, k.lowOctaves, _CMP_LT_OQ));
    __m256 p = k.power[6];
    for (std::size_t i = 6; i-- > 0;) p = _mm256_fmadd_ps(p, m, k.power[i]);
    const __m256 w = _mm256_min_ps(_mm256_fmadd_ps(scale, p, k.powerBias), _mm256_fmadd_ps(y, k.slope, k.linearBias));
    const __m256i whole = _mm256_cvttps_epi32(w);
    flags = _mm256_movemask_ps(
        _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_and_si256(whole, k.flagBits), _mm256_setzero_si256())));
    return _mm256_srli_epi32(whole, 16);
}

// Four pixels' levels as 16 bytes, from two registers of two pixels each.
__attribute__((target("avx2"))) inline __m128i PackAvx2(const Avx2Constants& k, __m256i a, __m256i b) {
    const __m256i words = _mm256_packus_epi32(a, b);  // per half: a's pixel, b's pixel
    const __m256i bytes = _mm256_packus_epi16(words, words);
    return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(bytes, k.order));
}

}  // namespace

__attribute__((target("avx2,fma,bmi2"))) void ColourTransform::ConvertAvx2(std::span<std::uint32_t> pixels) const {
    const Avx2Constants k(fast_);
    std::uint32_t* p = pixels.data();
    const std::size_t n = pixels.size();
    std::size_t x = 0;
    for (; x + 4 <= n; x += 4) {
        int f0, f1;
        const __m256i a = LevelsAvx2(k, fast_, p + x, f0);
        const __m256i b = LevelsAvx2(k, fast_, p + x + 2, f1);
        auto* q = reinterpret_cast<__m128i*>(p + x);
        const __m128i out = _mm_or_si128(PackAvx2(k, a, b), _mm_and_si128(_mm_loadu_si128(q), k.alpha));
        const int lanes = f0 | f1 << 8;
        if (lanes == 0) {
            _mm_storeu_si128(q, out);
        } else {
            alignas(16) std::uint32_t block[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(block), out);
            Redo(p + x, block, PixelFlags(static_cast<std::uint64_t>(lanes), 4), 4);
            std::copy_n(block, 4, p + x);
        }
    }
    ConvertSse2(pixels.subspan(x));
}

// ---- AVX-512: four pixels per register ----

// GCC 12's AVX-512 intrinsics start from deliberately undefined registers,
// which its own -Wmaybe-uninitialized then reports (fixed in GCC 13).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace {

struct Avx512Constants {
    __attribute__((target("avx512f,avx512vl"))) explicit Avx512Constants(const Encoding& e)
        : one(_mm512_set1_epi32(1)), top(_mm512_set1_epi32(e.top)), scale(_mm512_load_ps(e.scaleBySlot.data())),
          slope(_mm512_set1_ps(e.slope)), powerBias(_mm512_set1_ps(e.powerBias)),
          linearBias(_mm512_set1_ps(e.linearBias)), flagBits(_mm512_set1_epi32(static_cast<int>(e.flagBits))),
          alpha(_mm_set1_epi32(static_cast<int>(kAlpha))) {
        for (std::size_t i = 0; i < 7; ++i) power[i] = _mm512_set1_ps(kSrgbPower[i]);
    }
    __m512i one, top;
    __m512 scale, slope, powerBias, linearBias;
    __m512i flagBits;
    __m128i alpha;
    __m512 power[7];
};

// Four pixels' levels as 16 bytes, alpha from `in`; `flags` gets the lanes near a boundary.
__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq,bmi2"))) inline __m128i LevelsAvx512(
    const Avx512Constants& k, const Encoding& e, const std::uint32_t* px, __mmask16& flags) {
    __m512i sum = _mm512_castsi128_si512(Sum(e, px[0]));
    sum = _mm512_inserti32x4(sum, Sum(e, px[1]), 1);
    sum = _mm512_inserti32x4(sum, Sum(e, px[2]), 2);
    sum = _mm512_inserti32x4(sum, Sum(e, px[3]), 3);
    const __m512 y = _mm512_cvtepi32_ps(_mm512_min_epi32(_mm512_max_epi32(sum, k.one), k.top));
    const __m512 m = _mm512_getmant_ps(y, _MM_MANT_NORM_1_2, _MM_MANT_SIGN_src);
    const __m512 scale = _mm512_permutexvar_ps(_mm512_srli_epi32(_mm512_castps_si512(y), 23), k.scale);
    __m512 p = k.power[6];
    for (std::size_t i = 6; i-- > 0;) p = _mm512_fmadd_ps(p, m, k.power[i]);
    const __m512 w = _mm512_min_ps(_mm512_fmadd_ps(scale, p, k.powerBias), _mm512_fmadd_ps(y, k.slope, k.linearBias));
    const __m512i whole = _mm512_cvttps_epi32(w);
    flags = _mm512_testn_epi32_mask(whole, k.flagBits);
    const __m128i levels = _mm512_cvtepi32_epi8(_mm512_srli_epi32(whole, 16));
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(px));
    return _mm_ternarylogic_epi32(levels, in, k.alpha, 0xF8);  // levels | (in & alpha)
}

}  // namespace

__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq,bmi2"))) void ColourTransform::ConvertAvx512(
    std::span<std::uint32_t> pixels) const {
    const Avx512Constants k(fast_);
    std::uint32_t* p = pixels.data();
    const std::size_t n = pixels.size();
    std::size_t x = 0;
    for (; x + 16 <= n; x += 16) {
        __mmask16 f0, f1, f2, f3;
        const __m128i o0 = LevelsAvx512(k, fast_, p + x, f0);
        const __m128i o1 = LevelsAvx512(k, fast_, p + x + 4, f1);
        const __m128i o2 = LevelsAvx512(k, fast_, p + x + 8, f2);
        const __m128i o3 = LevelsAvx512(k, fast_, p + x + 12, f3);
        auto* q = reinterpret_cast<__m128i*>(p + x);
        if ((f0 | f1 | f2 | f3) == 0) {
            _mm_storeu_si128(q, o0);
            _mm_storeu_si128(q + 1, o1);
            _mm_storeu_si128(q + 2, o2);
            _mm_storeu_si128(q + 3, o3);
        } else {
            alignas(16) std::uint32_t block[16];
            auto* b = reinterpret_cast<__m128i*>(block);
            _mm_store_si128(b, o0);
            _mm_store_si128(b + 1, o1);
            _mm_store_si128(b + 2, o2);
            _mm_store_si128(b + 3, o3);
            const std::uint64_t lanes = std::uint64_t{f0} | std::uint64_t{f1} << 16 | std::uint64_t{f2} << 32 |
                                        std::uint64_t{f3} << 48;
            Redo(p + x, block, PixelFlags(lanes, 16), 16);
            std::copy_n(block, 16, p + x);
        }
    }
    ConvertAvx2(pixels.subspan(x));
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace tessaly

#endif
