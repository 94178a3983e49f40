// SSE2 and AVX2 classifiers; see rle8_encode_x86.h.
//
// A pixel's class gathers the top two bits of its four bytes into one byte,
// B lowest: with t = (p >> 6) & 0x03030303 (the four 2-bit fields in bytes 0
// to 3), u = t | t >> 6 holds B G in byte 0 and R A in byte 2, and u | u >> 12
// holds all four in byte 0. Then the words are packed down to bytes.
#include "bmp/write/rle8_encode_x86.h"

#if defined(TESSALY_X86_DISPATCH)

#include "bmp/write/encode.h"

namespace tessaly {
void ClassifyRowSse2(std::span<const std::uint32_t> src, std::span<std::uint8_t> dst) {
    const __m128i fields = _mm_set1_epi32(0x03030303), low = _mm_set1_epi32(0xFF);
    const auto classes = [&](std::size_t at) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src.data() + at));
        const __m128i t = _mm_and_si128(_mm_srli_epi32(p, 6), fields);
        const __m128i u = _mm_or_si128(t, _mm_srli_epi32(t, 6));
        return _mm_and_si128(_mm_or_si128(u, _mm_srli_epi32(u, 12)), low);
    };
    std::size_t x = 0;
    for (; x + 16 <= src.size(); x += 16) {
        const __m128i words = _mm_packs_epi32(classes(x), classes(x + 4));
        const __m128i words2 = _mm_packs_epi32(classes(x + 8), classes(x + 12));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst.data() + x), _mm_packus_epi16(words, words2));
    }
    ClassifyRowScalar(src.subspan(x), dst.subspan(x));
}

namespace {

__attribute__((target("avx2"))) __m256i ClassesAvx2(const std::uint32_t* at) {
    const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i t = _mm256_and_si256(_mm256_srli_epi32(p, 6), _mm256_set1_epi32(0x03030303));
    const __m256i u = _mm256_or_si256(t, _mm256_srli_epi32(t, 6));
    return _mm256_and_si256(_mm256_or_si256(u, _mm256_srli_epi32(u, 12)), _mm256_set1_epi32(0xFF));
}

}  // namespace

__attribute__((target("avx2"))) void ClassifyRowAvx2(std::span<const std::uint32_t> src, std::span<std::uint8_t> dst) {
    std::size_t x = 0;
    for (; x + 32 <= src.size(); x += 32) {
        const std::uint32_t* p = src.data() + x;
        // Packing works within 128-bit halves; the permute puts the four 8-byte groups back in order.
        const __m256i words = _mm256_packs_epi32(ClassesAvx2(p), ClassesAvx2(p + 8));
        const __m256i words2 = _mm256_packs_epi32(ClassesAvx2(p + 16), ClassesAvx2(p + 24));
        const __m256i bytes = _mm256_packus_epi16(words, words2);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst.data() + x),
                            _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)));
    }
    ClassifyRowSse2(src.subspan(x), dst.subspan(x));
}

}  // namespace tessaly

#endif
