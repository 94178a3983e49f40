// SSSE3 and AVX2 row packers; see pack_x86.h.
#include "bmp/write/pack_x86.h"

#if defined(TESSALY_X86_DISPATCH)

#include "bmp/write/encode.h"

namespace tessaly {

// Four pixels per shuffle: 16 bytes packed to 12; each 16-byte store runs 4
// bytes past its group and is overwritten by the next, so the last groups
// (whose store would pass the span) go to the plain packer.
__attribute__((target("ssse3"))) void PackRowBgr24Ssse3(std::span<const std::uint32_t> src,
                                                        std::span<std::uint8_t> dst) {
    const __m128i pack = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    std::size_t x = 0;
    for (; x + 4 <= src.size() && 3 * x + 16 <= dst.size(); x += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src.data() + x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst.data() + 3 * x), _mm_shuffle_epi8(v, pack));
    }
    PackRowBgr24Scalar(src.subspan(x), dst.subspan(3 * x));
}

// Eight pixels per step: each half packs four pixels to 12 bytes, and the two
// halves' 12 bytes are stored 12 bytes apart (the first store's 4 spare bytes
// are overwritten by the second). The last store ends at byte 3x + 28.
__attribute__((target("avx2"))) void PackRowBgr24Avx2(std::span<const std::uint32_t> src,
                                                      std::span<std::uint8_t> dst) {
    const __m256i pack = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,
                                          0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    std::size_t x = 0;
    for (; x + 8 <= src.size() && 3 * x + 28 <= dst.size(); x += 8) {
        const __m256i v = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src.data() + x)), pack);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst.data() + 3 * x), _mm256_castsi256_si128(v));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst.data() + 3 * x + 12), _mm256_extracti128_si256(v, 1));
    }
    PackRowBgr24Ssse3(src.subspan(x), dst.subspan(3 * x));
}

// The AND and the OR of 4096 pixels at a time (the plain twin's blocks),
// in four accumulators each so that loads are never waited on.
bool CarriesTransparencySse2(std::span<const std::uint32_t> pixels) {
    constexpr std::size_t kBlock = 4096;
    __m128i all = _mm_set1_epi32(-1), any = _mm_setzero_si128();
    std::size_t at = 0;
    for (; at + kBlock <= pixels.size(); at += kBlock) {
        __m128i a[4] = {all, all, all, all}, o[4] = {any, any, any, any};
        for (std::size_t x = at; x < at + kBlock; x += 16)
            for (int k = 0; k < 4; ++k) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels.data() + x + 4 * k));
                a[k] = _mm_and_si128(a[k], v);
                o[k] = _mm_or_si128(o[k], v);
            }
        all = _mm_and_si128(_mm_and_si128(a[0], a[1]), _mm_and_si128(a[2], a[3]));
        any = _mm_or_si128(_mm_or_si128(o[0], o[1]), _mm_or_si128(o[2], o[3]));
        // Some alpha not 0xFF (a lane of `all` below 0xFF000000) and some not 0.
        const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
        const bool notAllOpaque = _mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(all, alpha), alpha)) != 0xFFFF;
        const bool notAllZero =
            _mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(any, alpha), _mm_setzero_si128())) != 0xFFFF;
        if (notAllOpaque && notAllZero) return true;
    }
    // The rest, and the blocks' answer so far, through the plain twin.
    alignas(16) std::uint32_t lanes[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), all);
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes + 4), any);
    std::uint32_t allAlpha = 0xFFFFFFFFu, anyAlpha = 0;
    for (int k = 0; k < 4; ++k) {
        allAlpha &= lanes[k];
        anyAlpha |= lanes[4 + k];
    }
    for (const std::uint32_t px : pixels.subspan(at)) {
        allAlpha &= px;
        anyAlpha |= px;
    }
    return (allAlpha >> 24) != 0xFF && (anyAlpha >> 24) != 0;
}

__attribute__((target("avx2"))) bool CarriesTransparencyAvx2(std::span<const std::uint32_t> pixels) {
    constexpr std::size_t kBlock = 4096;
    const __m256i alpha = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
    __m256i all = _mm256_set1_epi32(-1), any = _mm256_setzero_si256();
    std::size_t at = 0;
    for (; at + kBlock <= pixels.size(); at += kBlock) {
        __m256i a[4] = {all, all, all, all}, o[4] = {any, any, any, any};
        for (std::size_t x = at; x < at + kBlock; x += 32)
            for (int k = 0; k < 4; ++k) {
                const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixels.data() + x + 8 * k));
                a[k] = _mm256_and_si256(a[k], v);
                o[k] = _mm256_or_si256(o[k], v);
            }
        all = _mm256_and_si256(_mm256_and_si256(a[0], a[1]), _mm256_and_si256(a[2], a[3]));
        any = _mm256_or_si256(_mm256_or_si256(o[0], o[1]), _mm256_or_si256(o[2], o[3]));
        const bool notAllOpaque = !_mm256_testc_si256(all, alpha);  // some alpha bit clear somewhere
        const bool notAllZero = !_mm256_testz_si256(any, alpha);    // some alpha bit set somewhere
        if (notAllOpaque && notAllZero) return true;
    }
    alignas(32) std::uint32_t lanes[16];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), all);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 8), any);
    std::uint32_t allAlpha = 0xFFFFFFFFu, anyAlpha = 0;
    for (int k = 0; k < 8; ++k) {
        allAlpha &= lanes[k];
        anyAlpha |= lanes[8 + k];
    }
    for (const std::uint32_t px : pixels.subspan(at)) {
        allAlpha &= px;
        anyAlpha |= px;
    }
    return (allAlpha >> 24) != 0xFF && (anyAlpha >> 24) != 0;
}

}  // namespace tessaly

#endif
