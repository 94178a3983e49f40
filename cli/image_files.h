// Image files the reference host writes around the plug-in: what a load
// delivered, written as PNG, raw bytes, PGM, PPM or PAM (picture_input.h reads
// them). Every writer streams row by row from the host's buffer and says why
// it failed; none changes the picture it is given.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace tessaly_cli {

// A picture as the host holds it, top row first: 32-bit pixels from a load
// (the bytes B, G, R, A; straight alpha), or one byte per pixel from a gray
// load. Borrowed: the caller keeps the buffer alive.
struct Picture {
    std::size_t width = 0;
    std::size_t height = 0;
    const std::uint32_t* pixels = nullptr;  // width x height, or null for a gray picture
    const std::uint8_t* gray = nullptr;     // width x height when pixels is null
    // What a PNG records beside the pixels: that they are sRGB levels (sRGB,
    // gAMA and cHRM chunks), and the resolution in pixels per metre when both
    // are known (pHYs). The other types have no place for them.
    bool srgb = false;
    std::uint32_t pixelsPerMeterX = 0, pixelsPerMeterY = 0;
};

// Limit: the host allocates no picture of more pixels than this unless told
// (--max-pixels): 2^28 pixels are 1 GiB of 32-bit pixels. A small file can
// declare a huge picture, and the host asks the file's size before the
// plug-in has read a single pixel, as Pillow's decompression-bomb limit does.
inline constexpr std::uint64_t kDefaultMaxPixels = std::uint64_t{1} << 28;

// "" when width x height pixels are within `maxPixels` (each side below 2^32), else the reason.
std::string OverPixelLimit(std::uint64_t width, std::uint64_t height, std::uint64_t maxPixels);

// What a whole picture holds: every pixel opaque, every pixel gray (R = G = B).
struct PictureTraits {
    bool opaque = true;
    bool gray = true;
};
PictureTraits Examine(const Picture& picture);

enum class ImageType { Png, Raw, Pgm, Ppm, Pam };

// The type a file name asks for by its extension, in any case; nullopt for another.
std::optional<ImageType> ImageTypeOfName(const std::string& name);
// The type a word names ("png", "raw", "pgm", "ppm", "pam"); nullopt for another.
std::optional<ImageType> ImageTypeOfWord(const std::string& word);
// The types, as a usage message lists them.
inline constexpr const char* kImageTypes = ".png, .raw, .pgm, .ppm or .pam";

// Writes `picture` to `out` as `type`:
//   Png  the smallest lossless colour type: gray (1, 2, 4 or 8 bits), palette
//        (up to 256 colours, with their alpha), gray with alpha, RGB or RGBA;
//   Raw  the host's buffer as it is (B, G, R, A per pixel, or one byte per pixel);
//   Pgm  binary 8-bit gray (P5): refused for a picture with colour or transparency;
//   Ppm  binary 8-bit RGB (P6): refused for a picture with transparency;
//   Pam  P7 with TUPLTYPE GRAYSCALE, GRAYSCALE_ALPHA, RGB or RGB_ALPHA as the picture needs.
// False with the reason in `error` (the system's words for an I/O error).
[[nodiscard]] bool WritePicture(std::FILE* out, ImageType type, const Picture& picture, std::string& error);

// Why `type` cannot hold `picture` without losing something (PGM: colour or
// transparency; PPM: transparency); "" when it can.
std::string CannotHold(ImageType type, const Picture& picture);

// PNG alone (png_libpng.cpp with Debian's libpng, or png_own.cpp where the
// toolchain has no libpng); as WritePicture.
[[nodiscard]] bool WritePng(std::FILE* out, const Picture& picture, std::string& error);

}  // namespace tessaly_cli
