// What a PNG of a picture holds, decided once for both PNG writers (libpng
// and our own): the smallest colour type that keeps every pixel exactly, the
// palette when there is one, and each row's bytes as PNG stores them before
// filtering. So both writers store the same pixels in the same colour type.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "image_files.h"

namespace tessaly_cli {

enum class PngColour : std::uint8_t { Gray = 0, Rgb = 2, Palette = 3, GrayAlpha = 4, Rgba = 6 };

struct PngPlan {
    PngColour colour = PngColour::Rgba;
    unsigned bitDepth = 8;                // 1, 2, 4 or 8
    std::vector<std::uint32_t> palette;   // Palette: 0xAARRGGBB, entries with alpha below 0xFF first
    std::size_t translucent = 0;          // how many entries lead the palette with alpha below 0xFF (tRNS)
    std::size_t rowBytes = 0;             // bytes of one packed row
    std::size_t bytesPerPixel = 1;        // for filtering: whole bytes per pixel, at least 1

    // Palette index of each colour; an open-addressed table that the plan fills.
    std::array<std::uint32_t, 1024> keys{};
    std::array<std::int16_t, 1024> slots{};  // -1: empty, else the index
};

// Chooses, in this order: gray (bit depth as small as the levels allow) for
// an opaque gray picture; a palette for up to 256 colours; gray with alpha;
// RGB for an opaque picture; RGBA.
PngPlan PlanPng(const Picture& picture);

// Row y of the picture as the plan stores it, into `out` (plan.rowBytes).
void PackPngRow(const Picture& picture, const PngPlan& plan, std::size_t y, std::uint8_t* out);

// PNG's CRC-32 of `bytes` continued from `crc` (start with 0xFFFFFFFF, store the complement).
std::uint32_t PngCrc(std::uint32_t crc, std::span<const std::uint8_t> bytes);

}  // namespace tessaly_cli
