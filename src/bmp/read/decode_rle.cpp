// The plain stretch and expand kernels of the RLE decoders; see decode_rle.h.
#include "bmp/read/decode_rle.h"

#include "bmp/read/decode_rle_x86.h"

namespace tessaly::rle {

namespace {

// The plain stretch loop: short encoded runs and absolute runs, while they fit
// the budget, into indices; `Encoded` and `Absolute` write one command's
// indices and answer the stream bytes an absolute run's data takes.
template <class Encoded, class Absolute>
RleStretch Stretch(std::span<const std::uint8_t> stream, std::size_t budget, std::uint8_t* indices, Encoded encoded,
                   Absolute absolute) {
    if (stream.size() < kRleReadAhead) return {};
    const std::uint8_t* const begin = stream.data();
    const std::uint8_t* const last = begin + (stream.size() - kRleReadAhead);
    const std::uint8_t* p = begin;
    std::size_t x = 0;
    while (p <= last) {
        const std::size_t c = p[0], s = p[1];
        if (c != 0) {
            if (c >= kRleShortRun || c > budget - x) break;
            encoded(indices + x, c, static_cast<std::uint8_t>(s));
            x += c;
            p += 2;
        } else {
            if (s < 3 || s > budget - x) break;
            const std::size_t bytes = absolute(indices + x, s, p + 2);
            x += s;
            p += 2 + bytes + bytes % 2;
        }
    }
    return {static_cast<std::size_t>(p - begin), x};
}

}  // namespace

RleStretch RleStretch8Scalar(std::span<const std::uint8_t> stream, std::size_t budget, std::uint8_t* indices) {
    return Stretch(
        stream, budget, indices,
        [](std::uint8_t* out, std::size_t c, std::uint8_t index) { std::memset(out, index, c); },
        [](std::uint8_t* out, std::size_t s, const std::uint8_t* data) {
            std::memcpy(out, data, s);
            return s;
        });
}

RleStretch RleStretch4Scalar(std::span<const std::uint8_t> stream, std::size_t budget, std::uint8_t* indices) {
    return Stretch(
        stream, budget, indices,
        [](std::uint8_t* out, std::size_t c, std::uint8_t pairByte) {
            // The high nibble is the left pixel of each pair.
            const std::uint8_t pair[2] = {static_cast<std::uint8_t>(pairByte >> 4),
                                          static_cast<std::uint8_t>(pairByte & 0x0F)};
            for (std::size_t i = 0; i < c; ++i) out[i] = pair[i & 1];
        },
        [](std::uint8_t* out, std::size_t s, const std::uint8_t* data) {
            for (std::size_t i = 0; i < s; ++i) out[i] = (data[i / 2] >> ((i & 1) ? 0 : 4)) & 0x0F;
            return (s + 1) / 2;
        });
}

const KernelFamily<RleStretchFn> kRleStretch8 = KernelFamily<RleStretchFn>(RleStretch8Scalar)
#if defined(TESSALY_X86_DISPATCH)
    .With(Simd::Ssse3, RleStretch8Ssse3)
#endif
    ;

const KernelFamily<RleStretchFn> kRleStretch4 = KernelFamily<RleStretchFn>(RleStretch4Scalar)
#if defined(TESSALY_X86_DISPATCH)
    .With(Simd::Ssse3, RleStretch4Ssse3)
#endif
    ;

void ExpandIndicesScalar(std::span<const std::uint8_t> indices, std::span<std::uint32_t> dst, const PixelTable& table,
                         bool /*streamed*/) {
    ExpandIndexed8(indices, dst, table);
}

const KernelFamily<ExpandIndicesFn> kExpandIndices = KernelFamily<ExpandIndicesFn>(ExpandIndicesScalar)
#if defined(TESSALY_X86_DISPATCH)
    .With(Simd::Avx512Vbmi, ExpandIndicesVbmi)
#endif
    ;

const KernelFamily<ExpandIndicesFn> kExpandNibbleIndices = KernelFamily<ExpandIndicesFn>(ExpandIndicesScalar)
#if defined(TESSALY_X86_DISPATCH)
    .With(Simd::Ssse3, ExpandNibbleIndicesSsse3)
    .With(Simd::Avx2, ExpandNibbleIndicesAvx2)
    .With(Simd::Avx512, ExpandNibbleIndicesAvx512)
#endif
    ;

}  // namespace tessaly::rle
