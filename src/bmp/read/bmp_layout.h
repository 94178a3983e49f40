// The BMP structures as published, and little-endian field access.
// The structures are plain bytes-as-stored; nothing here validates a field.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace tessaly {

#pragma pack(push, 2)
struct BITMAPFILEHEADER {
    std::uint16_t bfType;
    std::uint32_t bfSize;
    std::uint16_t bfReserved1;
    std::uint16_t bfReserved2;
    std::uint32_t bfOffBits;
};
#pragma pack(pop)
static_assert(sizeof(BITMAPFILEHEADER) == 14);

struct BITMAPINFOHEADER {
    std::uint32_t biSize;
    std::int32_t biWidth;
    std::int32_t biHeight;
    std::uint16_t biPlanes;
    std::uint16_t biBitCount;
    std::uint32_t biCompression;
    std::uint32_t biSizeImage;
    std::int32_t biXPelsPerMeter;
    std::int32_t biYPelsPerMeter;
    std::uint32_t biClrUsed;
    std::uint32_t biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);

struct RGBQUAD {
    std::uint8_t rgbBlue;
    std::uint8_t rgbGreen;
    std::uint8_t rgbRed;
    std::uint8_t rgbReserved;
};
static_assert(sizeof(RGBQUAD) == 4);

using Palette = std::array<RGBQUAD, 256>;

inline constexpr std::uint16_t kBmpMagic = 0x4D42;  // "BM"
inline constexpr std::uint16_t kBitmapArrayMagic = 0x4142;  // "BA": an OS/2 bitmap array
inline constexpr std::size_t kFileHeaderSize = 14;
inline constexpr std::size_t kInfoHeaderSize = 40;
inline constexpr std::size_t kCoreHeaderSize = 12;    // OS/2 1.x BITMAPCOREHEADER
inline constexpr std::size_t kOs2V2HeaderSize = 64;   // OS/2 2.x BITMAPCOREHEADER2
inline constexpr std::size_t kV5HeaderSize = 124;

inline constexpr std::uint32_t BI_RGB = 0;
inline constexpr std::uint32_t BI_RLE8 = 1;
inline constexpr std::uint32_t BI_RLE4 = 2;
inline constexpr std::uint32_t BI_BITFIELDS = 3;
inline constexpr std::uint32_t BI_JPEG = 4;
inline constexpr std::uint32_t BI_PNG = 5;
inline constexpr std::uint32_t BI_ALPHABITFIELDS = 6;

// The shared 32-bit pixel: bytes B, G, R, A; as a little-endian word 0xAARRGGBB.
inline constexpr std::uint32_t kOpaque = 0xFF000000u;

inline std::uint16_t LoadLe16Unchecked(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t LoadLe32Unchecked(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
// A 64-bit word read from memory in memory order, as a little-endian value.
inline std::uint64_t LittleEndianWord(std::uint64_t w) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return __builtin_bswap64(w);
#else
    return w;
#endif
}
inline void StoreLe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void StoreLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The file header from its 14 stored bytes.
inline BITMAPFILEHEADER ParseFileHeader(std::span<const std::uint8_t, kFileHeaderSize> b) {
    return {LoadLe16Unchecked(&b[0]), LoadLe32Unchecked(&b[2]), LoadLe16Unchecked(&b[6]),
            LoadLe16Unchecked(&b[8]), LoadLe32Unchecked(&b[10])};
}

// The info header from its first 40 stored bytes, taken as they stand.
inline BITMAPINFOHEADER ParseInfoHeader(std::span<const std::uint8_t, kInfoHeaderSize> b) {
    BITMAPINFOHEADER h{};
    h.biSize = LoadLe32Unchecked(&b[0]);
    h.biWidth = static_cast<std::int32_t>(LoadLe32Unchecked(&b[4]));
    h.biHeight = static_cast<std::int32_t>(LoadLe32Unchecked(&b[8]));
    h.biPlanes = LoadLe16Unchecked(&b[12]);
    h.biBitCount = LoadLe16Unchecked(&b[14]);
    h.biCompression = LoadLe32Unchecked(&b[16]);
    h.biSizeImage = LoadLe32Unchecked(&b[20]);
    h.biXPelsPerMeter = static_cast<std::int32_t>(LoadLe32Unchecked(&b[24]));
    h.biYPelsPerMeter = static_cast<std::int32_t>(LoadLe32Unchecked(&b[28]));
    h.biClrUsed = LoadLe32Unchecked(&b[32]);
    h.biClrImportant = LoadLe32Unchecked(&b[36]);
    return h;
}

}  // namespace tessaly
