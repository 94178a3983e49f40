// BmpBuilder assembles a BMP file byte by byte (file header, info header of any
// size, masks, colour table, pixel bytes as stored), so a test, a benchmark or
// the demo states exactly what it hands the plug-in. It checks nothing: a
// builder that is told to write a wrong field writes it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace tessaly::kit {

using Bytes = std::vector<std::uint8_t>;

struct BmpBuilder {
    std::int32_t width = 1;
    std::int32_t height = 1;             // negative: a top-down file
    std::uint16_t bitCount = 24;
    std::uint32_t compression = 0;
    std::uint32_t headerSize = 40;       // 12: OS/2 1.x core header with 3-byte colour entries
    std::uint32_t clrUsed = 0;
    std::int64_t offBits = -1;           // -1: right after the headers, masks and palette
    std::vector<std::uint32_t> palette;  // entries as 0x00RRGGBB words (B, G, R, 0 in the file)
    std::vector<std::uint32_t> masks;    // written after a 40-byte header, or inside a longer one
    Bytes pixels;                        // the pixel array or RLE stream, as stored
    std::uint16_t magic = 0x4D42;
    // Headers of 108 bytes or more: the colour space type, and calibrated RGB's
    // nine endpoint coordinates (2.30) and three gammas (16.16) as stored.
    std::uint32_t colourSpace = 0;
    std::array<std::uint32_t, 12> calibration{};
    Bytes profile;  // 124-byte headers: placed after the pixels, its offset and size in the header

    // The whole file; bfSize is its length.
    [[nodiscard]] Bytes Build() const;
};

void Put16(Bytes& b, std::size_t at, std::uint16_t v);
void Put32(Bytes& b, std::size_t at, std::uint32_t v);
std::uint32_t Get32(const Bytes& b, std::size_t at);

// Stored rows for an uncompressed file: each row's bytes padded to a multiple of 4.
Bytes PadRows(const std::vector<Bytes>& rows);

// A minimal ICC profile (version 2, RGB to XYZ): the colorants' XYZ (red, green,
// blue; relative to D50) and one gamma curve (u8.8) shared by the three channels.
Bytes MatrixTrcProfile(const std::array<std::array<double, 3>, 3>& colorants, double gamma);

}  // namespace tessaly::kit
