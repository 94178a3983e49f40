// The file-free packers of the writer: both headers from a plan, 24-bit rows
// from 32-bit pixels (SSSE3 or AVX2 where the CPU has them) and the gray ramp. They
// trust the spans they are given.
#include <algorithm>

#include "bmp/write/encode.h"
#include "bmp/write/pack_x86.h"

namespace tessaly {

PackedHeaders PackHeaders(const SavePlan& plan) {
    const SaveFormatRow& row = FormatRow(plan.format);
    PackedHeaders out;
    std::uint8_t* h = out.bytes.data();
    out.size = kFileHeaderSize + row.infoSize;
    StoreLe16(&h[0], kBmpMagic);
    StoreLe32(&h[2], static_cast<std::uint32_t>(plan.fileSize));  // the plan keeps it within 32 bits
    StoreLe32(&h[10], plan.pixelOffset);
    StoreLe32(&h[14], row.infoSize);
    StoreLe32(&h[18], static_cast<std::uint32_t>(plan.width));
    StoreLe32(&h[22], static_cast<std::uint32_t>(plan.height));
    StoreLe16(&h[26], 1);
    StoreLe16(&h[28], row.bitCount);
    StoreLe32(&h[30], row.compression);
    if (row.infoSize == 108) {
        StoreLe32(&h[34], static_cast<std::uint32_t>(plan.fileSize - plan.pixelOffset));  // biSizeImage
        // Red, green, blue and alpha masks: the third, second, first and fourth byte of each pixel.
        StoreLe32(&h[54], 0x00FF0000u);
        StoreLe32(&h[58], 0x0000FF00u);
        StoreLe32(&h[62], 0x000000FFu);
        StoreLe32(&h[66], 0xFF000000u);
        StoreLe32(&h[70], 0x73524742u);  // LCS_sRGB ('sRGB'); endpoints and gammas stay 0
    }
    return out;
}

bool CarriesTransparencyScalar(std::span<const std::uint32_t> pixels) {
    // AND and OR of the fourth bytes, in blocks, stopping once both answers are known.
    constexpr std::size_t kBlock = 4096;
    std::uint32_t all = 0xFFFFFFFFu, any = 0;
    for (std::size_t at = 0; at < pixels.size(); at += kBlock) {
        const auto block = pixels.subspan(at, std::min(kBlock, pixels.size() - at));
        for (const std::uint32_t px : block) {
            all &= px;
            any |= px;
        }
        if ((all >> 24) != 0xFF && (any >> 24) != 0) return true;
    }
    return false;
}

void PackRowBgr24Scalar(std::span<const std::uint32_t> src, std::span<std::uint8_t> dst) {
    std::uint8_t* out = dst.data();
    const std::size_t n = src.size();
    std::size_t x = 0;
    // Four pixels into three little-endian words.
    for (; x + 4 <= n; x += 4, out += 12) {
        const std::uint32_t a = src[x] & 0xFFFFFF, b = src[x + 1] & 0xFFFFFF;
        const std::uint32_t c = src[x + 2] & 0xFFFFFF, d = src[x + 3] & 0xFFFFFF;
        StoreLe32(out, a | b << 24);
        StoreLe32(out + 4, b >> 8 | c << 16);
        StoreLe32(out + 8, c >> 16 | d << 8);
    }
    for (; x < n; ++x, out += 3) {
        out[0] = static_cast<std::uint8_t>(src[x]);
        out[1] = static_cast<std::uint8_t>(src[x] >> 8);
        out[2] = static_cast<std::uint8_t>(src[x] >> 16);
    }
}

const KernelFamily<CarriesTransparencyFn> kCarriesTransparency =
    KernelFamily<CarriesTransparencyFn>(CarriesTransparencyScalar)
#if defined(TESSALY_X86_DISPATCH)
    .With(Simd::Sse2, CarriesTransparencySse2)
    .With(Simd::Avx2, CarriesTransparencyAvx2)
#endif
    ;

const KernelFamily<PackRowFn> kPackRowBgr24 = KernelFamily<PackRowFn>(PackRowBgr24Scalar)
#if defined(TESSALY_X86_DISPATCH)
    .With(Simd::Ssse3, PackRowBgr24Ssse3).With(Simd::Avx2, PackRowBgr24Avx2)
#endif
    ;

std::array<std::uint8_t, kPaletteBytes> GrayRampPalette() {
    std::array<std::uint8_t, kPaletteBytes> p{};
    for (std::size_t i = 0; i < 256; ++i) {
        p[4 * i] = p[4 * i + 1] = p[4 * i + 2] = static_cast<std::uint8_t>(i);
    }
    return p;
}

}  // namespace tessaly
