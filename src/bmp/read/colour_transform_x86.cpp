// The AVX2 colour conversion kernel; see colour_transform.h.
#include "bmp/read/colour_transform.h"

#if defined(TESSALY_X86_DISPATCH)

namespace tessaly {

namespace {

// Eight linear values to levels: the same clamp and table entry as Encode.
__attribute__((target("avx2"))) inline __m256i EncodeAvx2(__m256 linear, const std::uint8_t* table) {
    const __m256i low = _mm256_set1_epi32(static_cast<int>(ColourTransform::kLowBits));
    const __m256i high = _mm256_set1_epi32(static_cast<int>(ColourTransform::kHighBits));
    const __m256i bits = _mm256_min_epi32(_mm256_max_epi32(_mm256_castps_si256(linear), low), high);
    const __m256i index = _mm256_srli_epi32(_mm256_sub_epi32(bits, low), 23 - ColourTransform::kMantissaBits);
    const __m256i entry = _mm256_i32gather_epi32(reinterpret_cast<const int*>(table), index, 1);
    return _mm256_and_si256(entry, _mm256_set1_epi32(0xFF));
}

// One matrix row over eight pixels: (m0 * b + m1 * g) + m2 * r.
__attribute__((target("avx2"))) inline __m256 RowAvx2(const __m256* m, __m256 b, __m256 g, __m256 r) {
    return _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(m[0], b), _mm256_mul_ps(m[1], g)), _mm256_mul_ps(m[2], r));
}

}  // namespace

// Eight pixels at a time, with the scalar kernel's operations in its order
// (multiplies and adds, never fused), so every result is the same float.
__attribute__((target("avx2"))) void ColourTransform::ConvertAvx2(std::span<std::uint32_t> pixels) const {
    const __m256i byte = _mm256_set1_epi32(0xFF);
    const __m256i alpha = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
    __m256 m[9];
    for (std::size_t i = 0; i < 9; ++i) m[i] = _mm256_set1_ps(matrix_[i]);
    std::uint32_t* p = pixels.data();
    std::size_t x = 0;
    for (; x + 8 <= pixels.size(); x += 8) {
        const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + x));
        const __m256 b = _mm256_i32gather_ps(linear_[0].data(), _mm256_and_si256(px, byte), 4);
        const __m256 g = _mm256_i32gather_ps(linear_[1].data(), _mm256_and_si256(_mm256_srli_epi32(px, 8), byte), 4);
        const __m256 r = _mm256_i32gather_ps(linear_[2].data(), _mm256_and_si256(_mm256_srli_epi32(px, 16), byte), 4);
        const __m256i ob = EncodeAvx2(RowAvx2(m, b, g, r), encode_);
        const __m256i og = EncodeAvx2(RowAvx2(m + 3, b, g, r), encode_);
        const __m256i orr = EncodeAvx2(RowAvx2(m + 6, b, g, r), encode_);
        const __m256i out = _mm256_or_si256(_mm256_and_si256(px, alpha),
                                            _mm256_or_si256(_mm256_slli_epi32(orr, 16),
                                                            _mm256_or_si256(_mm256_slli_epi32(og, 8), ob)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + x), out);
    }
    ConvertScalar(pixels.subspan(x));
}

}  // namespace tessaly

#endif
