// SSE2 and AVX2 classifiers; see rle8_encode_x86.h.
//
// A pixel's class gathers the top two bits of its four bytes into one byte,
// B lowest: with t = (p >> 6) & 0x03030303 (the four 2-bit fields in bytes 0
// to 3), u = t | t >> 6 holds B G in byte 0 and R A in byte 2, and u | u >> 12
// holds all four in byte 0. Then the words are packed down to bytes.
#include "bmp/write/rle8_encode_x86.h"

#if defined(TESSALY_X86_DISPATCH)

#include <bit>

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

// 64 neighbour compares per word: every word whose last compare reads a byte
// of the line (byte 64j + 64) is made from 16-byte compares, the rest plainly.
void RepeatBitsSse2(std::span<const std::uint8_t> line, std::uint64_t* bits) {
    const std::uint8_t* v = line.data();
    std::size_t j = 0;
    for (; 64 * j + 64 < line.size(); ++j) {
        std::uint64_t w = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const std::uint8_t* at = v + 64 * j + 16 * k;
            const __m128i same = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)),
                                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 1)));
            w |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(same))} << (16 * k);
        }
        bits[j] = w;
    }
    RepeatBitsScalar(line.subspan(64 * j), bits + j);
}

__attribute__((target("avx2"))) void RepeatBitsAvx2(std::span<const std::uint8_t> line, std::uint64_t* bits) {
    const std::uint8_t* v = line.data();
    std::size_t j = 0;
    for (; 64 * j + 64 < line.size(); ++j) {
        const std::uint8_t* at = v + 64 * j;
        const __m256i low = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)),
                                              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 1)));
        const __m256i high = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 32)),
                                               _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 33)));
        bits[j] = std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(low))} |
                  std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))} << 32;
    }
    RepeatBitsScalar(line.subspan(64 * j), bits + j);
}

// 32 classes per step: the byte of the set holding each class's bit (bytes
// 0-15 and 16-31 looked up by one shuffle each), then the bit itself.
__attribute__((target("avx2"))) std::size_t FindUnknownAvx2(std::span<const std::uint8_t> classes,
                                                            const ClassSet& known) {
    const __m128i set0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(known.data()));
    const __m128i set1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(known.data() + 2));
    const __m256i low = _mm256_broadcastsi128_si256(set0), high = _mm256_broadcastsi128_si256(set1);
    const __m256i bits = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16,
                                          32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
    const __m256i seven = _mm256_set1_epi8(7), byteOf = _mm256_set1_epi8(0x1F), sixteen = _mm256_set1_epi8(16);
    std::size_t x = 0;
    for (; x + 32 <= classes.size(); x += 32) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(classes.data() + x));
        const __m256i at = _mm256_and_si256(_mm256_srli_epi16(c, 3), byteOf);
        const __m256i inHigh = _mm256_cmpeq_epi8(_mm256_and_si256(at, sixteen), sixteen);
        const __m256i byte = _mm256_blendv_epi8(_mm256_shuffle_epi8(low, at), _mm256_shuffle_epi8(high, at), inHigh);
        const __m256i bit = _mm256_shuffle_epi8(bits, _mm256_and_si256(c, seven));
        const auto unknown = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(byte, bit), _mm256_setzero_si256())));
        if (unknown != 0) return x + static_cast<std::size_t>(std::countr_zero(unknown));
    }
    return x + FindUnknownScalar(classes.subspan(x), known);
}

// GCC 12's AVX-512 intrinsics start some results from an undefined register,
// which its own uninitialised-value warnings then flag.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// 64 classes per step: one byte permute finds each class's byte of the set.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) std::size_t FindUnknownVbmi(
    std::span<const std::uint8_t> classes, const ClassSet& known) {
    const __m512i set = _mm512_zextsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(known.data())));
    const __m512i bits = _mm512_set1_epi64(static_cast<long long>(0x8040201008040201ull));
    const __m512i seven = _mm512_set1_epi8(7), byteOf = _mm512_set1_epi8(0x1F);
    std::size_t x = 0;
    for (; x + 64 <= classes.size(); x += 64) {
        const __m512i c = _mm512_loadu_si512(classes.data() + x);
        const __m512i byte = _mm512_permutexvar_epi8(_mm512_and_si512(_mm512_srli_epi16(c, 3), byteOf), set);
        const __m512i bit = _mm512_shuffle_epi8(bits, _mm512_and_si512(c, seven));
        const __mmask64 unknown = _mm512_testn_epi8_mask(byte, bit);
        if (unknown != 0) return x + static_cast<std::size_t>(std::countr_zero(static_cast<std::uint64_t>(unknown)));
    }
    return x + FindUnknownAvx2(classes.subspan(x), known);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace tessaly

#endif
