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

}  // namespace tessaly

#endif
