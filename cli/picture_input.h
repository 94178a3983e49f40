// Pictures the host reads itself, for convert and savegray: PNG, and binary
// PGM (P5), PPM (P6) and PAM (P7). A BMP, or anything else, goes to the
// plug-in's load, as a host hands it the files of its type. Each becomes the
// host's 32-bit pixels (B, G, R, A; straight alpha), top row first, which the
// plug-in then saves.
//
// Samples wider than 8 bits become 8 bits by one rule, round(v x 255 / maxval)
// (maxval 65535 for 16-bit PNG), worked out here on every build, so the libpng
// build and the stb_image build (Windows) give the same pixels. PNG colour
// chunks (gAMA, cHRM, iCCP, sRGB) are not applied: levels are kept as stored.
//
// Everything is read from bytes in memory, checked before use: a file that is
// cut short, damaged or of a kind the host does not read is refused with the
// reason, and no pixel is stored before the whole header has been checked.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tessaly_cli {

enum class InputKind : std::uint8_t { Other, Png, Pnm };

// What the first bytes say: the PNG signature, "P" and a digit, or neither
// (a BMP, or a file the plug-in will refuse).
InputKind SniffInput(std::span<const std::uint8_t> head);

// Limit: each side of a PNG or PNM picture is at most 2^24 pixels (stb_image's
// own bound, so both PNG builds refuse the same files); the host's pixel limit
// (--max-pixels) applies besides.
inline constexpr std::uint32_t kMaxInputSide = std::uint32_t{1} << 24;

// A PNG's stream as the decoders are given it: the signature, IHDR, PLTE (padded
// with black entries to 2^depth, so no index reads past it), tRNS, the IDAT
// chunks and IEND, each with a correct CRC. Other chunks are left out.
struct PngStream {
    std::uint8_t bitDepth = 8;
    std::uint8_t colourType = 0;
    bool interlaced = false;
    std::vector<std::uint8_t> bytes;
};

struct InputPicture {
    InputKind kind = InputKind::Other;
    std::uint32_t width = 0, height = 0;
    // PNM: where the samples start, samples per pixel (1 gray, 2 gray and
    // alpha, 3 RGB, 4 RGBA) and their maxval (2 bytes each, high first, above 255).
    std::size_t rasterOffset = 0;
    std::uint32_t channels = 0, maxval = 0;
    PngStream png;
};

// Reads and checks the header of a PNG or PNM file (for PNG every chunk's
// layout and CRC, and the chunks' order). False with the reason in `error`.
[[nodiscard]] bool ReadInputHeader(std::span<const std::uint8_t> file, InputPicture& picture, std::string& error);

// Decodes a picture whose header ReadInputHeader accepted into `pixels`
// (width x height). False with the reason in `error`; the pixels are then undefined.
[[nodiscard]] bool DecodeInput(std::span<const std::uint8_t> file, const InputPicture& picture,
                               std::span<std::uint32_t> pixels, std::string& error);

// round(value x 255 / maxval) for value <= maxval: the one rule for samples wider than 8 bits.
constexpr std::uint8_t ScaleSample(std::uint32_t value, std::uint32_t maxval) {
    return static_cast<std::uint8_t>((value * 255 + maxval / 2) / maxval);
}

// Rows of R, G, B, A samples (8 or 16 bits) as host pixels.
void StoreRgba8(std::span<const std::uint8_t> rgba, std::span<std::uint32_t> pixels);
void StoreRgba16(std::span<const std::uint16_t> rgba, std::span<std::uint32_t> pixels);

// The PNG decoder of the build (png_libpng.cpp or png_own.cpp): a stream
// ReadInputHeader made, into `pixels` (width x height). False with the
// decoder's reason in `error`.
[[nodiscard]] bool DecodePng(const PngStream& png, std::uint32_t width, std::uint32_t height,
                             std::span<std::uint32_t> pixels, std::string& error);

}  // namespace tessaly_cli
