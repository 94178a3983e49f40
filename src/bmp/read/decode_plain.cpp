// Row kernels for uncompressed pixel data; see decode_plain.h.
#include "bmp/read/decode_plain.h"

#include <bit>
#include <cstring>

#include "bmp/read/decode_plain_x86.h"

namespace tessaly {

PixelTable MakePixelTable(const Palette& palette) {
    PixelTable table;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const RGBQUAD& q = palette[i];
        table[i] = kOpaque | std::uint32_t{q.rgbRed} << 16 | std::uint32_t{q.rgbGreen} << 8 | q.rgbBlue;
    }
    return table;
}

void MakeByteTable(const PixelTable& table, ByteTable1& out) {
    for (unsigned b = 0; b < 256; ++b)
        for (unsigned i = 0; i < 8; ++i) out[b][i] = table[(b >> (7 - i)) & 1];  // the MSB is the leftmost pixel
}

void MakeByteTable(const PixelTable& table, ByteTable4& out) {
    for (unsigned b = 0; b < 256; ++b) out[b] = {table[b >> 4], table[b & 0x0F]};  // the high nibble is the left pixel
}

void ExpandIndexed1(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst, const ByteTable1& table) {
    std::uint32_t* out = dst.data();
    const std::size_t whole = dst.size() / 8;
    for (std::size_t b = 0; b < whole; ++b, out += 8) std::memcpy(out, table[src[b]].data(), 32);
    // Bits after the last pixel are skipped.
    for (std::size_t i = 0; i < dst.size() % 8; ++i) out[i] = table[src[whole]][i];
}

void ExpandIndexed2(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst, const PixelTable& table) {
    for (std::size_t x = 0; x < dst.size(); ++x) dst[x] = table[(src[x / 4] >> (6 - 2 * (x % 4))) & 3];
}

void ExpandIndexed4(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst, const ByteTable4& table) {
    std::uint32_t* out = dst.data();
    const std::size_t pairs = dst.size() / 2;
    for (std::size_t b = 0; b < pairs; ++b, out += 2) std::memcpy(out, table[src[b]].data(), 8);
    if (dst.size() % 2) *out = table[src[pairs]][0];
}

void ExpandIndexed8(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst, const PixelTable& table) {
    const std::uint8_t* in = src.data();
    std::uint32_t* out = dst.data();
    const std::size_t n = dst.size();
    std::size_t x = 0;
    for (; x + 4 <= n; x += 4) {
        out[x] = table[in[x]];
        out[x + 1] = table[in[x + 1]];
        out[x + 2] = table[in[x + 2]];
        out[x + 3] = table[in[x + 3]];
    }
    for (; x < n; ++x) out[x] = table[in[x]];
}

void ExpandBgr24Scalar(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst) {
    const std::uint8_t* in = src.data();
    std::uint32_t* out = dst.data();
    const std::size_t n = dst.size();
    std::size_t x = 0;
    // Four pixels from three little-endian words.
    for (; x + 4 <= n; x += 4, in += 12) {
        const std::uint32_t w[3] = {LoadLe32Unchecked(in), LoadLe32Unchecked(in + 4), LoadLe32Unchecked(in + 8)};
        out[x] = kOpaque | (w[0] & 0xFFFFFF);
        out[x + 1] = kOpaque | (w[0] >> 24) | ((w[1] & 0xFFFF) << 8);
        out[x + 2] = kOpaque | (w[1] >> 16) | ((w[2] & 0xFF) << 16);
        out[x + 3] = kOpaque | (w[2] >> 8);
    }
    for (; x < n; ++x, in += 3) out[x] = kOpaque | std::uint32_t{in[2]} << 16 | std::uint32_t{in[1]} << 8 | in[0];
}

const KernelFamily<ExpandBgr24Fn> kExpandBgr24 = KernelFamily<ExpandBgr24Fn>(ExpandBgr24Scalar)
#if defined(TESSALY_X86_DISPATCH)
    .With(Simd::Ssse3, ExpandBgr24Ssse3).With(Simd::Avx2, ExpandBgr24Avx2)
#endif
    ;

void ExpandBgrx32(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst) {
    const std::uint8_t* in = src.data();
    for (std::size_t x = 0; x < dst.size(); ++x) dst[x] = kOpaque | LoadLe32Unchecked(in + 4 * x);
}

MaskDecoder::MaskDecoder(const ChannelMasks& masks) {
    const std::uint32_t byChannel[4] = {masks.blue, masks.green, masks.red, masks.alpha};
    for (std::size_t c = 0; c < 4; ++c) {
        Channel& ch = channels_[c];
        ch.mask = byChannel[c];
        ch.absent = c == 3 ? 0xFF : 0;
        if (ch.mask == 0) continue;
        ch.shift = static_cast<unsigned>(std::countr_zero(ch.mask));
        const unsigned bits = static_cast<unsigned>(std::popcount(ch.mask));
        ch.max = (std::uint64_t{1} << bits) - 1;
        if (bits > 10) {
            ch.dropBits = bits - 8;
            for (std::uint32_t v = 0; v < 256; ++v) ch.table[v] = static_cast<std::uint8_t>(v);
            continue;
        }
        for (std::uint64_t v = 0; v <= ch.max; ++v)
            ch.table[static_cast<std::size_t>(v)] = static_cast<std::uint8_t>((2 * v * 255 + ch.max) / (2 * ch.max));
    }
}

void ExpandMasked16(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst, const MaskDecoder& masks) {
    const std::uint8_t* in = src.data();
    for (std::size_t x = 0; x < dst.size(); ++x) dst[x] = masks.Pixel(LoadLe16Unchecked(in + 2 * x));
}

void ExpandMasked32(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst, const MaskDecoder& masks) {
    const std::uint8_t* in = src.data();
    for (std::size_t x = 0; x < dst.size(); ++x) dst[x] = masks.Pixel(LoadLe32Unchecked(in + 4 * x));
}

}  // namespace tessaly
