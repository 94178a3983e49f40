// The vector colour conversion kernels (SSE2, AVX2, AVX-512); see
// colour_transform.h for the encoding and the error it is flagged against.
//
// Each pixel's three column entries are plain 16-byte loads at offsets made
// from its bytes (no gathers: on some CPUs a gather costs several times its
// loads), summed as integers (exactly) into one group of four lanes: the
// outputs blue, green, red and an unused fourth. Groups of four pixels are
// transposed into one register per output channel, so a kernel encodes three
// registers per 4, 8 or 16 pixels (SSE2, AVX2, AVX-512). Lanes flagged as too
// near a level boundary send their pixel to the plain kernel (for the usual
// window of 2^-11 level, about one pixel in a thousand).
#include "bmp/read/colour_transform.h"

#if defined(TESSALY_X86_DISPATCH)

#include <algorithm>
#include <bit>

namespace tessaly {

namespace {

using Encoding = ColourTransform::Encoding;

constexpr std::uint32_t kAlpha = 0xFF000000u;

// One pixel's columns summed: fixed-point Y for blue, green, red. Each byte
// is rotated to bits 4 to 11, its entry's offset (with BMI2 one rorx and one
// and per channel).
inline __m128i Sum(const Encoding& e, std::uint32_t px) {
    const auto* base = reinterpret_cast<const std::uint8_t*>(e.columns.data());
    constexpr std::size_t kTable = 256 * 16;
    const std::uint32_t b = std::rotr(px, 28) & 0xFF0, g = std::rotr(px, 4) & 0xFF0, r = std::rotr(px, 12) & 0xFF0;
    __m128i s = _mm_load_si128(reinterpret_cast<const __m128i*>(base + b));
    s = _mm_add_epi32(s, _mm_load_si128(reinterpret_cast<const __m128i*>(base + kTable + g)));
    return _mm_add_epi32(s, _mm_load_si128(reinterpret_cast<const __m128i*>(base + 2 * kTable + r)));
}

// A partial group (fewer than `block` pixels) goes through `convert` in a
// zero-padded copy.
template <class Convert>
void ConvertPadded(std::span<std::uint32_t> pixels, Convert convert) {
    alignas(64) std::uint32_t block[16] = {};
    std::copy(pixels.begin(), pixels.end(), block);
    convert(std::span<std::uint32_t>(block, 16));
    std::copy_n(block, pixels.size(), pixels.begin());
}

// ---- SSE2: four pixels at a time, separate multiplies and adds ----

struct Sse2Constants {
    explicit Sse2Constants(const Encoding& e)
        : one(_mm_set1_ps(1)), top(_mm_set1_ps(static_cast<float>(e.top))), mantissa(_mm_set1_epi32(0x007FFFFF)),
          unit(_mm_set1_epi32(0x3F800000)), slope(_mm_set1_ps(e.slope)), powerBias(_mm_set1_ps(e.powerBias)),
          linearBias(_mm_set1_ps(e.linearBias)), flagBits(_mm_set1_epi32(static_cast<int>(e.flagBits))),
          green(_mm_set1_epi32(0xFF00)), red(_mm_set1_epi32(0xFF0000)),
          alpha(_mm_set1_epi32(static_cast<int>(kAlpha))) {
        for (std::size_t i = 0; i < 7; ++i) power[i] = _mm_set1_ps(kSrgbPower[i]);
    }
    __m128 one, top;
    __m128i mantissa, unit;
    __m128 slope, powerBias, linearBias;
    __m128i flagBits, green, red, alpha;
    __m128 power[7];
};

// Four values of one output channel encoded (the level in bits 16 to 23);
// `flags` gets the lanes near a boundary.
inline __m128i EncodeSse2(const Sse2Constants& k, const Encoding& e, __m128i sum, int& flags) {
    // The clamp to [1, top] on the float is the integer clamp: the conversion keeps order.
    const __m128 y = _mm_min_ps(_mm_max_ps(_mm_cvtepi32_ps(sum), k.one), k.top);
    const __m128i bits = _mm_castps_si128(y);
    const __m128 m = _mm_castsi128_ps(_mm_or_si128(_mm_and_si128(bits, k.mantissa), k.unit));
    alignas(16) std::uint32_t slot[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(slot), _mm_srli_epi32(bits, 23));
    const __m128 scale = _mm_setr_ps(e.scaleBySlot[slot[0] & 15], e.scaleBySlot[slot[1] & 15],
                                     e.scaleBySlot[slot[2] & 15], e.scaleBySlot[slot[3] & 15]);
    __m128 p = _mm_add_ps(_mm_mul_ps(k.power[6], m), k.power[5]);
    p = _mm_add_ps(_mm_mul_ps(p, m), k.power[4]);
    p = _mm_add_ps(_mm_mul_ps(p, m), k.power[3]);
    p = _mm_add_ps(_mm_mul_ps(p, m), k.power[2]);
    p = _mm_add_ps(_mm_mul_ps(p, m), k.power[1]);
    p = _mm_add_ps(_mm_mul_ps(p, m), k.power[0]);
    const __m128 w = _mm_min_ps(_mm_add_ps(_mm_mul_ps(scale, p), k.powerBias),
                                _mm_add_ps(_mm_mul_ps(y, k.slope), k.linearBias));
    const __m128i whole = _mm_cvttps_epi32(w);
    flags = _mm_movemask_ps(
        _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(whole, k.flagBits), _mm_setzero_si128())));
    return whole;
}

}  // namespace

void ColourTransform::ConvertSse2(std::span<std::uint32_t> pixels) const {
    const Sse2Constants k(fast_);
    std::uint32_t* p = pixels.data();
    const std::size_t n = pixels.size();
    std::size_t x = 0;
    for (; x + 4 <= n; x += 4) {
        const std::uint32_t* q = p + x;
        const __m128i a = Sum(fast_, q[0]), b = Sum(fast_, q[1]), c = Sum(fast_, q[2]), d = Sum(fast_, q[3]);
        const __m128i ab = _mm_unpacklo_epi32(a, b), cd = _mm_unpacklo_epi32(c, d);
        int fb, fg, fr;
        const __m128i wb = EncodeSse2(k, fast_, _mm_unpacklo_epi64(ab, cd), fb);
        const __m128i wg = EncodeSse2(k, fast_, _mm_unpackhi_epi64(ab, cd), fg);
        const __m128i wr =
            EncodeSse2(k, fast_, _mm_unpacklo_epi64(_mm_unpackhi_epi32(a, b), _mm_unpackhi_epi32(c, d)), fr);
        auto* out = reinterpret_cast<__m128i*>(p + x);
        const __m128i levels = _mm_or_si128(
            _mm_or_si128(_mm_srli_epi32(wb, 16), _mm_and_si128(_mm_srli_epi32(wg, 8), k.green)), _mm_and_si128(wr, k.red));
        const __m128i result = _mm_or_si128(levels, _mm_and_si128(_mm_loadu_si128(out), k.alpha));
        const int flags = fb | fg | fr;
        if (flags == 0) {
            _mm_storeu_si128(out, result);
        } else {
            alignas(16) std::uint32_t block[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(block), result);
            Redo(q, block, static_cast<std::uint64_t>(flags), 4);
            std::copy_n(block, 4, p + x);
        }
    }
    if (x < n) ConvertPadded(pixels.subspan(x), [this](std::span<std::uint32_t> b) { ConvertSse2(b.first(4)); });
}

// ---- AVX2: eight pixels at a time ----

namespace {

struct Avx2Constants {
    __attribute__((target("avx2,fma"))) explicit Avx2Constants(const Encoding& e)
        : one(_mm256_set1_epi32(1)), top(_mm256_set1_epi32(e.top)), mantissa(_mm256_set1_epi32(0x007FFFFF)),
          unit(_mm256_set1_epi32(0x3F800000)), high(_mm256_load_ps(e.scaleHigh.data())),
          low(_mm256_load_ps(e.scaleLow.data())), lowOctaves(_mm256_set1_ps(e.lowOctaves)),
          slope(_mm256_set1_ps(e.slope)), powerBias(_mm256_set1_ps(e.powerBias)),
          linearBias(_mm256_set1_ps(e.linearBias)), flagBits(_mm256_set1_epi32(static_cast<int>(e.flagBits))),
          green(_mm256_set1_epi32(0xFF00)), red(_mm256_set1_epi32(0xFF0000)),
          alpha(_mm256_set1_epi32(static_cast<int>(kAlpha))) {
        for (std::size_t i = 0; i < 7; ++i) power[i] = _mm256_set1_ps(kSrgbPower[i]);
    }
    __m256i one, top, mantissa, unit;
    __m256 high, low, lowOctaves, slope, powerBias, linearBias;
    __m256i flagBits, green, red, alpha;
    __m256 power[7];
};

// Eight values of one output channel encoded; `flags` gets the lanes near a boundary.
__attribute__((target("avx2,fma"))) inline __m256i EncodeAvx2(const Avx2Constants& k, __m256i sum, int& flags) {
    const __m256 y = _mm256_cvtepi32_ps(_mm256_min_epi32(_mm256_max_epi32(sum, k.one), k.top));
    const __m256i bits = _mm256_castps_si256(y);
    const __m256 m = _mm256_castsi256_ps(_mm256_or_si256(_mm256_and_si256(bits, k.mantissa), k.unit));
    // Nine octaves take K from two 8-entry tables: the lowest one's slot is the highest's.
    const __m256i slot = _mm256_srli_epi32(bits, 23);
    const __m256 scale = _mm256_blendv_ps(_mm256_permutevar8x32_ps(k.high, slot), _mm256_permutevar8x32_ps(k.low, slot),
                                          _mm256_cmp_ps(y, k.lowOctaves, _CMP_LT_OQ));
    __m256 p = _mm256_fmadd_ps(k.power[6], m, k.power[5]);
    p = _mm256_fmadd_ps(p, m, k.power[4]);
    p = _mm256_fmadd_ps(p, m, k.power[3]);
    p = _mm256_fmadd_ps(p, m, k.power[2]);
    p = _mm256_fmadd_ps(p, m, k.power[1]);
    p = _mm256_fmadd_ps(p, m, k.power[0]);
    const __m256 w = _mm256_min_ps(_mm256_fmadd_ps(scale, p, k.powerBias), _mm256_fmadd_ps(y, k.slope, k.linearBias));
    const __m256i whole = _mm256_cvttps_epi32(w);
    flags = _mm256_movemask_ps(
        _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_and_si256(whole, k.flagBits), _mm256_setzero_si256())));
    return whole;
}

// Two pixels' sums, one per 128-bit lane.
__attribute__((target("avx2,bmi2"))) inline __m256i Sums(const Encoding& e, std::uint32_t a, std::uint32_t b) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(Sum(e, a)), Sum(e, b), 1);
}

}  // namespace

// Eight pixels' sums, two per register (lane L of register j is pixel 4L + j),
// turned by one 4 x 4 transpose per lane into one register per channel.
__attribute__((target("avx2,fma,bmi2"))) void ColourTransform::ConvertAvx2(std::span<std::uint32_t> pixels) const {
    const Avx2Constants k(fast_);
    std::uint32_t* p = pixels.data();
    const std::size_t n = pixels.size();
    std::size_t x = 0;
    for (; x + 8 <= n; x += 8) {
        const std::uint32_t* q = p + x;
        const __m256i a = Sums(fast_, q[0], q[4]), b = Sums(fast_, q[1], q[5]);
        const __m256i c = Sums(fast_, q[2], q[6]), d = Sums(fast_, q[3], q[7]);
        const __m256i ab = _mm256_unpacklo_epi32(a, b), cd = _mm256_unpacklo_epi32(c, d);
        int fb, fg, fr;
        const __m256i wb = EncodeAvx2(k, _mm256_unpacklo_epi64(ab, cd), fb);
        const __m256i wg = EncodeAvx2(k, _mm256_unpackhi_epi64(ab, cd), fg);
        const __m256i wr =
            EncodeAvx2(k, _mm256_unpacklo_epi64(_mm256_unpackhi_epi32(a, b), _mm256_unpackhi_epi32(c, d)), fr);
        auto* out = reinterpret_cast<__m256i*>(p + x);
        const __m256i green = _mm256_and_si256(_mm256_srli_epi32(wg, 8), k.green);
        const __m256i levels =
            _mm256_or_si256(_mm256_or_si256(_mm256_srli_epi32(wb, 16), green), _mm256_and_si256(wr, k.red));
        const __m256i result = _mm256_or_si256(levels, _mm256_and_si256(_mm256_loadu_si256(out), k.alpha));
        const int flags = fb | fg | fr;
        if (flags == 0) {
            _mm256_storeu_si256(out, result);
        } else {
            alignas(32) std::uint32_t block[8];
            _mm256_store_si256(reinterpret_cast<__m256i*>(block), result);
            Redo(q, block, static_cast<std::uint64_t>(flags), 8);
            std::copy_n(block, 8, p + x);
        }
    }
    ConvertSse2(pixels.subspan(x));
}

// ---- AVX-512: sixteen pixels at a time ----

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
          green(_mm512_set1_epi32(0xFF00)), red(_mm512_set1_epi32(0xFF0000)),
          alpha(_mm512_set1_epi32(static_cast<int>(kAlpha))) {
        for (std::size_t i = 0; i < 7; ++i) power[i] = _mm512_set1_ps(kSrgbPower[i]);
    }
    __m512i one, top;
    __m512 scale, slope, powerBias, linearBias;
    __m512i flagBits, green, red, alpha;
    __m512 power[7];
};

// Sixteen values of one output channel encoded; `flags` gets the lanes near a boundary.
__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq"))) inline __m512i EncodeAvx512(const Avx512Constants& k,
                                                                                           __m512i sum,
                                                                                           __mmask16& flags) {
    const __m512 y = _mm512_cvtepi32_ps(_mm512_min_epi32(_mm512_max_epi32(sum, k.one), k.top));
    const __m512 m = _mm512_getmant_ps(y, _MM_MANT_NORM_1_2, _MM_MANT_SIGN_src);
    const __m512 scale = _mm512_permutexvar_ps(_mm512_srli_epi32(_mm512_castps_si512(y), 23), k.scale);
    __m512 p = _mm512_fmadd_ps(k.power[6], m, k.power[5]);
    p = _mm512_fmadd_ps(p, m, k.power[4]);
    p = _mm512_fmadd_ps(p, m, k.power[3]);
    p = _mm512_fmadd_ps(p, m, k.power[2]);
    p = _mm512_fmadd_ps(p, m, k.power[1]);
    p = _mm512_fmadd_ps(p, m, k.power[0]);
    const __m512 w = _mm512_min_ps(_mm512_fmadd_ps(scale, p, k.powerBias), _mm512_fmadd_ps(y, k.slope, k.linearBias));
    const __m512i whole = _mm512_cvttps_epi32(w);
    flags = _mm512_testn_epi32_mask(whole, k.flagBits);
    return whole;
}

// Four pixels' sums, one per 128-bit lane.
__attribute__((target("avx512f,avx512vl,bmi2"))) inline __m512i Sums(const Encoding& e, std::uint32_t a,
                                                                      std::uint32_t b, std::uint32_t c,
                                                                      std::uint32_t d) {
    __m512i z = _mm512_castsi128_si512(Sum(e, a));
    z = _mm512_inserti32x4(z, Sum(e, b), 1);
    z = _mm512_inserti32x4(z, Sum(e, c), 2);
    return _mm512_inserti32x4(z, Sum(e, d), 3);
}

}  // namespace

// Sixteen pixels' sums, four per register (lane L of register j is pixel
// 4L + j), turned by one 4 x 4 transpose per lane into one register per channel.
__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq,bmi2"))) void ColourTransform::ConvertAvx512(
    std::span<std::uint32_t> pixels) const {
    const Avx512Constants k(fast_);
    std::uint32_t* p = pixels.data();
    const std::size_t n = pixels.size();
    std::size_t x = 0;
    for (; x + 16 <= n; x += 16) {
        const std::uint32_t* q = p + x;
        const __m512i a = Sums(fast_, q[0], q[4], q[8], q[12]), b = Sums(fast_, q[1], q[5], q[9], q[13]);
        const __m512i c = Sums(fast_, q[2], q[6], q[10], q[14]), d = Sums(fast_, q[3], q[7], q[11], q[15]);
        const __m512i ab = _mm512_unpacklo_epi32(a, b), cd = _mm512_unpacklo_epi32(c, d);
        __mmask16 fb, fg, fr;
        const __m512i wb = EncodeAvx512(k, _mm512_unpacklo_epi64(ab, cd), fb);
        const __m512i wg = EncodeAvx512(k, _mm512_unpackhi_epi64(ab, cd), fg);
        const __m512i wr =
            EncodeAvx512(k, _mm512_unpacklo_epi64(_mm512_unpackhi_epi32(a, b), _mm512_unpackhi_epi32(c, d)), fr);
        const __m512i levels = _mm512_ternarylogic_epi32(_mm512_srli_epi32(wb, 16),
                                                         _mm512_and_si512(_mm512_srli_epi32(wg, 8), k.green),
                                                         _mm512_and_si512(wr, k.red), 0xFE);  // b | g | r
        const __m512i result = _mm512_ternarylogic_epi32(levels, _mm512_loadu_si512(q), k.alpha, 0xF8);  // | in & alpha
        const auto flags = static_cast<__mmask16>(fb | fg | fr);
        if (flags == 0) {
            _mm512_storeu_si512(p + x, result);
        } else {
            alignas(64) std::uint32_t block[16];
            _mm512_store_si512(block, result);
            Redo(q, block, flags, 16);
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
