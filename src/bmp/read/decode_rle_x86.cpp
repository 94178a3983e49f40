// SSSE3 stretch and expand kernels of the RLE decoders; see decode_rle_x86.h.
//
// A stretch loads 16 stream bytes and asks, all at once, which of the eight
// commands that could start there are encoded runs of 1 to 16 pixels (a count
// byte at an even offset). The leading ones are written with one 16-byte store
// each, their colour broadcast by a shuffle of the same load, and the next
// store placed by the run's count: eight stores whatever their number, so the
// only branches left are the rare ones (a group that would pass the budget, a
// long absolute run, a command that ends the stretch).
#include "bmp/read/decode_rle_x86.h"

#if defined(TESSALY_X86_DISPATCH)

#include <algorithm>
#include <bit>

namespace tessaly::rle {
namespace {

// kLeading[k]: the count bytes of the first k commands of a 16-byte load.
struct LeadingMasks {
    alignas(16) std::uint8_t bytes[9][16];
};
constexpr LeadingMasks MakeLeadingMasks() {
    LeadingMasks m{};
    for (std::size_t k = 0; k <= 8; ++k)
        for (std::size_t j = 0; j < 2 * k; j += 2) m.bytes[k][j] = 0xFF;
    return m;
}
constexpr LeadingMasks kLeading = MakeLeadingMasks();

enum class Nibbles : bool { No, Yes };

// The index bytes of an absolute run of s pixels from its data (after the
// command's two bytes): at least 32 of them, whatever s is, so that short runs
// take no loop. Answers the stream bytes the run takes, its pad byte included.
template <Nibbles Four>
__attribute__((target("ssse3"), always_inline)) inline std::size_t PlaceAbsolute(const std::uint8_t* data, std::size_t s,
                                                                                 std::uint8_t* o) {
    if constexpr (Four == Nibbles::Yes) {
        // 16 bytes make 32 indices, the high nibble of each byte first.
        const __m128i lowNibbles = _mm_set1_epi8(0x0F);
        for (std::size_t j = 0; j < s; j += 32) {
            const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + j / 2));
            const __m128i high = _mm_and_si128(_mm_srli_epi16(d, 4), lowNibbles), low = _mm_and_si128(d, lowNibbles);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o + j), _mm_unpacklo_epi8(high, low));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o + j + 16), _mm_unpackhi_epi8(high, low));
        }
        const std::size_t bytes = (s + 1) / 2;
        return bytes + bytes % 2;
    } else {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_loadu_si128(reinterpret_cast<const __m128i*>(data)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16), _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16)));
        for (std::size_t j = 32; j < s; j += 16)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o + j), _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + j)));
        return s + s % 2;
    }
}

// One command at p, as the plain twin takes it: false when it ends the stretch.
template <Nibbles Four>
__attribute__((target("ssse3"), always_inline)) inline bool PlaceOne(const std::uint8_t*& p, std::size_t& x,
                                                                    std::size_t budget, std::uint8_t* indices) {
    const std::size_t c = p[0], s = p[1];
    std::uint8_t* const o = indices + x;
    if (c != 0) {
        if (c >= kRleShortRun || c > budget - x) return false;
        const __m128i colour = Four == Nibbles::Yes ? _mm_set1_epi16(static_cast<short>((s >> 4) | (s & 0x0F) << 8))
                                                    : _mm_set1_epi8(static_cast<char>(s));
        for (std::size_t j = 0; j < kRleShortRun; j += 16) _mm_storeu_si128(reinterpret_cast<__m128i*>(o + j), colour);
        x += c;
        p += 2;
        return true;
    }
    if (s < 3 || s > budget - x) return false;
    p += 2 + PlaceAbsolute<Four>(p + 2, s, o);
    x += s;
    return true;
}

// The shared loop; RLE4 (Nibbles::Yes) differs in the colours of runs (two
// alternating nibbles) and in how absolute runs spread their bytes.
template <Nibbles Four>
__attribute__((target("ssse3"), always_inline)) inline RleStretch Stretch(std::span<const std::uint8_t> stream,
                                                                          std::size_t budget,
                                                                          std::uint8_t* indices) {
    if (stream.size() < kRleReadAhead) return {};
    const std::uint8_t* const begin = stream.data();
    const std::uint8_t* const last = begin + (stream.size() - kRleReadAhead);
    const std::uint8_t* p = begin;
    const __m128i colourBytes = _mm_set1_epi16(static_cast<short>(0xFF00)), sixteen = _mm_set1_epi8(16);
    alignas(16) std::uint8_t counts[16];
    std::size_t x = 0;
    while (p <= last) {
        // The offset of the first command whose count byte is zero (16: none),
        // twice the number of encoded runs that lead.
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i zeroCounts = _mm_cmpeq_epi8(_mm_or_si128(v, colourBytes), _mm_setzero_si128());
        std::size_t lead = static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(_mm_movemask_epi8(zeroCounts)) | 0x10000u));
        if (static_cast<std::size_t>(last - p) < 14) [[unlikely]]  // commands start at `last` at the latest
            lead = std::min(lead, (static_cast<std::size_t>(last - p) / 2 + 1) * 2);
        const __m128i runs = _mm_and_si128(v, _mm_load_si128(reinterpret_cast<const __m128i*>(kLeading.bytes[lead / 2])));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(runs, sixteen), sixteen)) != 0xFFFF) [[unlikely]] {
            if (!PlaceOne<Four>(p, x, budget, indices)) break;  // a run longer than one store
            continue;
        }
        _mm_store_si128(reinterpret_cast<__m128i*>(counts), runs);
        // Each command's colour in a 16-bit lane: its index twice (RLE8: the
        // shuffle takes byte 2i + 1 alone), or its two nibbles, left first.
        __m128i colours = v;
        if constexpr (Four == Nibbles::Yes)
            colours = _mm_or_si128(_mm_srli_epi16(v, 12), _mm_and_si128(v, _mm_set1_epi16(0x0F00)));
        std::uint8_t* o = indices + x;
        for (int i = 0; i < 8; ++i) {
            const __m128i spread = Four == Nibbles::Yes ? _mm_set1_epi16(static_cast<short>(0x0100 * (2 * i + 1) + 2 * i))
                                                        : _mm_set1_epi8(static_cast<char>(2 * i + 1));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_shuffle_epi8(colours, spread));
            o += counts[2 * i];
        }
        const auto made = static_cast<std::size_t>(o - (indices + x));
        if (made > budget - x) [[unlikely]] {
            if (!PlaceOne<Four>(p, x, budget, indices)) break;  // the group one command at a time, to the budget
            continue;
        }
        x += made;
        p += lead;
        if (p > last) break;
        // The command after the runs: an absolute run (or one that ends the
        // stretch), unless eight runs led and another may follow.
        const std::size_t c = p[0], s = p[1];
        if (c != 0) continue;
        if (s < 3 || s > budget - x) break;
        p += 2 + PlaceAbsolute<Four>(p + 2, s, indices + x);
        x += s;
    }
    return {static_cast<std::size_t>(p - begin), x};
}

}  // namespace

__attribute__((target("ssse3"))) RleStretch RleStretch8Ssse3(std::span<const std::uint8_t> stream, std::size_t budget,
                                                             std::uint8_t* indices) {
    return Stretch<Nibbles::No>(stream, budget, indices);
}

__attribute__((target("ssse3"))) RleStretch RleStretch4Ssse3(std::span<const std::uint8_t> stream, std::size_t budget,
                                                             std::uint8_t* indices) {
    return Stretch<Nibbles::Yes>(stream, budget, indices);
}

// Pixels before dst's first `align`-byte boundary (all of them when there are fewer),
// so that the wide stores after them do not straddle cache lines.
inline std::size_t HeadBefore(std::span<std::uint32_t> dst, std::size_t align) {
    const std::size_t misaligned = reinterpret_cast<std::uintptr_t>(dst.data()) & (align - 1);
    return std::min(dst.size(), misaligned == 0 ? 0 : (align - misaligned) / 4);
}

// The first 16 entries of the table as four byte planes (blue, green, red,
// alpha), so that one shuffle looks up a channel of 16 pixels.
struct NibblePlanes {
    __m128i blue, green, red, alpha;
};
__attribute__((target("ssse3"))) NibblePlanes MakeNibblePlanes(const PixelTable& table) {
    const __m128i byChannel = _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    __m128i t[4];
    for (int i = 0; i < 4; ++i)
        t[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table.data() + 4 * i)), byChannel);
    const __m128i lo01 = _mm_unpacklo_epi32(t[0], t[1]), hi01 = _mm_unpackhi_epi32(t[0], t[1]);
    const __m128i lo23 = _mm_unpacklo_epi32(t[2], t[3]), hi23 = _mm_unpackhi_epi32(t[2], t[3]);
    return {_mm_unpacklo_epi64(lo01, lo23), _mm_unpackhi_epi64(lo01, lo23), _mm_unpacklo_epi64(hi01, hi23),
            _mm_unpackhi_epi64(hi01, hi23)};
}

// GCC 12's AVX-512 intrinsics start some results from an undefined register,
// which its own uninitialised-value warnings then flag.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// Four 64-pixel channel registers (pixel i in byte i) to 64 pixels at out.
// The unpacks work within 128-bit lanes, leaving pixels 16l .. 16l + 15 of
// lane l spread over four registers; two permutes put them back in order.
template <bool Streamed>
__attribute__((target("avx512f,avx512bw"), always_inline)) inline void StoreChannels(__m512i b, __m512i g, __m512i r,
                                                                                     __m512i a, std::uint32_t* out) {
    const __m512i bgLow = _mm512_unpacklo_epi8(b, g), bgHigh = _mm512_unpackhi_epi8(b, g);
    const __m512i raLow = _mm512_unpacklo_epi8(r, a), raHigh = _mm512_unpackhi_epi8(r, a);
    // Lane l of p0 holds pixels 16l .. 16l + 3, of p1 the next four, and so on.
    const __m512i p0 = _mm512_unpacklo_epi16(bgLow, raLow), p1 = _mm512_unpackhi_epi16(bgLow, raLow);
    const __m512i p2 = _mm512_unpacklo_epi16(bgHigh, raHigh), p3 = _mm512_unpackhi_epi16(bgHigh, raHigh);
    const __m512i lanes01 = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11), lanes23 = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
    const __m512i p01Low = _mm512_permutex2var_epi64(p0, lanes01, p1), p01High = _mm512_permutex2var_epi64(p0, lanes23, p1);
    const __m512i p23Low = _mm512_permutex2var_epi64(p2, lanes01, p3), p23High = _mm512_permutex2var_epi64(p2, lanes23, p3);
    const __m512i lines[4] = {_mm512_shuffle_i64x2(p01Low, p23Low, 0x44), _mm512_shuffle_i64x2(p01Low, p23Low, 0xEE),
                              _mm512_shuffle_i64x2(p01High, p23High, 0x44),
                              _mm512_shuffle_i64x2(p01High, p23High, 0xEE)};
    for (int i = 0; i < 4; ++i) {
        if constexpr (Streamed)
            _mm512_stream_si512(reinterpret_cast<__m512i*>(out + 16 * i), lines[i]);
        else
            _mm512_storeu_si512(out + 16 * i, lines[i]);
    }
}

// Sixteen pixels per step: each channel looked up by one shuffle of its plane, then interleaved.
__attribute__((target("ssse3"))) void ExpandNibbleIndicesSsse3(std::span<const std::uint8_t> indices,
                                                               std::span<std::uint32_t> dst, const PixelTable& table,
                                                               bool /*streamed: not at this level*/) {
    const auto [blue, green, red, alpha] = MakeNibblePlanes(table);
    std::size_t x = 0;
    for (; x + 16 <= dst.size(); x += 16) {
        const __m128i idx = _mm_loadu_si128(reinterpret_cast<const __m128i*>(indices.data() + x));
        const __m128i b = _mm_shuffle_epi8(blue, idx), g = _mm_shuffle_epi8(green, idx);
        const __m128i r = _mm_shuffle_epi8(red, idx), a = _mm_shuffle_epi8(alpha, idx);
        const __m128i bgLow = _mm_unpacklo_epi8(b, g), raLow = _mm_unpacklo_epi8(r, a);
        const __m128i bgHigh = _mm_unpackhi_epi8(b, g), raHigh = _mm_unpackhi_epi8(r, a);
        auto* out = reinterpret_cast<__m128i*>(dst.data() + x);
        _mm_storeu_si128(out, _mm_unpacklo_epi16(bgLow, raLow));
        _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(bgLow, raLow));
        _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(bgHigh, raHigh));
        _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(bgHigh, raHigh));
    }
    ExpandIndexed8(indices.subspan(x), dst.subspan(x), table);
}

// Thirty-two pixels per step, the planes in both lanes; the unpacks leave
// pixels 0-7 and 16-23 in the first two registers, 8-15 and 24-31 in the others.
template <bool Streamed>
__attribute__((target("avx2"), always_inline)) inline void ExpandNibblesAvx2(std::span<const std::uint8_t> indices,
                                                                             std::span<std::uint32_t> dst,
                                                                             const PixelTable& table) {
    const NibblePlanes planes = MakeNibblePlanes(table);
    const __m256i blue = _mm256_broadcastsi128_si256(planes.blue), green = _mm256_broadcastsi128_si256(planes.green);
    const __m256i red = _mm256_broadcastsi128_si256(planes.red), alpha = _mm256_broadcastsi128_si256(planes.alpha);
    // Streamed stores fill whole lines: from a line's start, 128 bytes a step.
    std::size_t x = HeadBefore(dst, Streamed ? 64 : 32);
    ExpandIndexed8(indices.first(x), dst.first(x), table);
    for (; x + 32 <= dst.size(); x += 32) {
        const __m256i idx = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(indices.data() + x));
        const __m256i b = _mm256_shuffle_epi8(blue, idx), g = _mm256_shuffle_epi8(green, idx);
        const __m256i r = _mm256_shuffle_epi8(red, idx), a = _mm256_shuffle_epi8(alpha, idx);
        const __m256i bgLow = _mm256_unpacklo_epi8(b, g), raLow = _mm256_unpacklo_epi8(r, a);
        const __m256i bgHigh = _mm256_unpackhi_epi8(b, g), raHigh = _mm256_unpackhi_epi8(r, a);
        const __m256i p0 = _mm256_unpacklo_epi16(bgLow, raLow), p1 = _mm256_unpackhi_epi16(bgLow, raLow);
        const __m256i p2 = _mm256_unpacklo_epi16(bgHigh, raHigh), p3 = _mm256_unpackhi_epi16(bgHigh, raHigh);
        const __m256i quarters[4] = {_mm256_permute2x128_si256(p0, p1, 0x20), _mm256_permute2x128_si256(p2, p3, 0x20),
                                     _mm256_permute2x128_si256(p0, p1, 0x31), _mm256_permute2x128_si256(p2, p3, 0x31)};
        auto* out = reinterpret_cast<__m256i*>(dst.data() + x);
        for (int i = 0; i < 4; ++i) {
            if constexpr (Streamed)
                _mm256_stream_si256(out + i, quarters[i]);
            else
                _mm256_storeu_si256(out + i, quarters[i]);
        }
    }
    if constexpr (Streamed) _mm_sfence();
    ExpandNibbleIndicesSsse3(indices.subspan(x), dst.subspan(x), table, false);
}

__attribute__((target("avx2"))) void ExpandNibbleIndicesAvx2(std::span<const std::uint8_t> indices,
                                                             std::span<std::uint32_t> dst, const PixelTable& table,
                                                             bool streamed) {
    if (streamed)
        ExpandNibblesAvx2<true>(indices, dst, table);
    else
        ExpandNibblesAvx2<false>(indices, dst, table);
}

// Sixty-four pixels per step, the planes in all four lanes.
template <bool Streamed>
__attribute__((target("avx512f,avx512bw"), always_inline)) inline void ExpandNibblesAvx512(
    std::span<const std::uint8_t> indices, std::span<std::uint32_t> dst, const PixelTable& table) {
    const NibblePlanes planes = MakeNibblePlanes(table);
    const __m512i blue = _mm512_broadcast_i32x4(planes.blue), green = _mm512_broadcast_i32x4(planes.green);
    const __m512i red = _mm512_broadcast_i32x4(planes.red), alpha = _mm512_broadcast_i32x4(planes.alpha);
    std::size_t x = HeadBefore(dst, 64);
    ExpandIndexed8(indices.first(x), dst.first(x), table);
    for (; x + 64 <= dst.size(); x += 64) {
        const __m512i idx = _mm512_loadu_si512(indices.data() + x);
        StoreChannels<Streamed>(_mm512_shuffle_epi8(blue, idx), _mm512_shuffle_epi8(green, idx),
                                _mm512_shuffle_epi8(red, idx), _mm512_shuffle_epi8(alpha, idx), dst.data() + x);
    }
    if constexpr (Streamed) _mm_sfence();
    ExpandNibbleIndicesAvx2(indices.subspan(x), dst.subspan(x), table, false);
}

__attribute__((target("avx512f,avx512bw"))) void ExpandNibbleIndicesAvx512(std::span<const std::uint8_t> indices,
                                                                           std::span<std::uint32_t> dst,
                                                                           const PixelTable& table, bool streamed) {
    if (streamed)
        ExpandNibblesAvx512<true>(indices, dst, table);
    else
        ExpandNibblesAvx512<false>(indices, dst, table);
}

// One channel of 64 pixels from its 256-byte plane.
__attribute__((target("avx512f,avx512bw,avx512vbmi"), always_inline)) inline __m512i LookUp(const __m512i (&plane)[4],
                                                                                            __m512i idx, __mmask64 high) {
    return _mm512_mask_blend_epi8(high, _mm512_permutex2var_epi8(plane[0], idx, plane[1]),
                                  _mm512_permutex2var_epi8(plane[2], idx, plane[3]));
}

// Sixty-four pixels per step: each channel of the 256-entry table as a
// 256-byte plane in four registers, looked up by two two-register byte
// permutes (indices below and from 128) and a blend on the index's top bit.
// Making the planes costs about as much as 64 pixels, so short spans stay plain.
template <bool Streamed>
__attribute__((target("avx512f,avx512bw,avx512vbmi"), always_inline)) inline void ExpandVbmi(
    std::span<const std::uint8_t> indices, std::span<std::uint32_t> dst, const PixelTable& table) {
    std::size_t x = 0;
    if (dst.size() >= 128) {
        x = HeadBefore(dst, 64);
        ExpandIndexed8(indices.first(x), dst.first(x), table);
        // Plane c takes byte c of every entry: entries 64q .. 64q + 63 are registers 4q .. 4q + 3.
        __m512i planes[4][4];
        for (int q = 0; q < 4; ++q) {
            const std::uint32_t* t = table.data() + 64 * q;
            const __m512i t0 = _mm512_loadu_si512(t), t1 = _mm512_loadu_si512(t + 16);
            const __m512i t2 = _mm512_loadu_si512(t + 32), t3 = _mm512_loadu_si512(t + 48);
            for (int c = 0; c < 4; ++c) {
                // Byte 4j + c for j < 32 of (t0, t1), for j >= 32 of (t2, t3): the same indices mod 128.
                alignas(64) std::uint8_t pick[64];
                for (int j = 0; j < 64; ++j) pick[j] = static_cast<std::uint8_t>((4 * j + c) & 127);
                const __m512i at = _mm512_load_si512(pick);
                planes[c][q] = _mm512_mask_blend_epi8(0xFFFFFFFF00000000ull, _mm512_permutex2var_epi8(t0, at, t1),
                                                      _mm512_permutex2var_epi8(t2, at, t3));
            }
        }
        for (; x + 64 <= dst.size(); x += 64) {
            const __m512i idx = _mm512_loadu_si512(indices.data() + x);
            const __mmask64 high = _mm512_movepi8_mask(idx);
            StoreChannels<Streamed>(LookUp(planes[0], idx, high), LookUp(planes[1], idx, high),
                                    LookUp(planes[2], idx, high), LookUp(planes[3], idx, high), dst.data() + x);
        }
        if constexpr (Streamed) _mm_sfence();
    }
    ExpandIndexed8(indices.subspan(x), dst.subspan(x), table);
}

__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void ExpandIndicesVbmi(std::span<const std::uint8_t> indices,
                                                                              std::span<std::uint32_t> dst,
                                                                              const PixelTable& table, bool streamed) {
    if (streamed)
        ExpandVbmi<true>(indices, dst, table);
    else
        ExpandVbmi<false>(indices, dst, table);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace tessaly::rle

#endif
