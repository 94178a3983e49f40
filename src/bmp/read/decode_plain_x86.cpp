// SSSE3 and AVX2 row kernels; see decode_plain_x86.h.
#include "bmp/read/decode_plain_x86.h"

#if defined(TESSALY_X86_DISPATCH)

#include "bmp/read/decode_plain.h"

namespace tessaly {

// Four pixels per shuffle: 12 stored bytes spread to 16, alpha set. Loads read
// 16 bytes at a time, so the last pixels (whose 16-byte load would pass the
// span) go to the plain kernel.
__attribute__((target("ssse3"))) void ExpandBgr24Ssse3(std::span<const std::uint8_t> src,
                                                       std::span<std::uint32_t> dst) {
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i alpha = _mm_set1_epi32(static_cast<int>(kOpaque));
    const std::uint8_t* in = src.data();
    std::uint32_t* out = dst.data();
    std::size_t x = 0;
    for (; 3 * x + 16 <= src.size() && x + 4 <= dst.size(); x += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_or_si128(_mm_shuffle_epi8(v, spread), alpha));
    }
    ExpandBgr24Scalar(src.subspan(3 * x), dst.subspan(x));
}

// Eight pixels per step: two 16-byte loads, 12 bytes apart, fill the two
// halves, each spread as in the SSSE3 kernel. The second load reads to byte
// 3x + 28, so the last pixels go to the plain kernel.
__attribute__((target("avx2"))) void ExpandBgr24Avx2(std::span<const std::uint8_t> src,
                                                     std::span<std::uint32_t> dst) {
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,
                                            0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m256i alpha = _mm256_set1_epi32(static_cast<int>(kOpaque));
    const std::uint8_t* in = src.data();
    std::uint32_t* out = dst.data();
    std::size_t x = 0;
    for (; 3 * x + 28 <= src.size() && x + 8 <= dst.size(); x += 8) {
        const __m256i v = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(in + 3 * x + 12),
                                              reinterpret_cast<const __m128i*>(in + 3 * x));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), _mm256_or_si256(_mm256_shuffle_epi8(v, spread), alpha));
    }
    ExpandBgr24Ssse3(src.subspan(3 * x), dst.subspan(x));
}

}  // namespace tessaly

#endif
