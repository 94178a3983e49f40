// Our stand-in for the system bitmap loader: an 8-bit BMP file's rows at 8 bits
// per pixel, top row first, `stride` bytes each (the width rounded up to a
// multiple of 4), and its 256-entry colour table. Built on the reading side's
// header reading and decoders, uncompressed and RLE8, so gray files load by
// exactly the rules every other load follows.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "bmp/read/bmp_layout.h"

namespace tessaly {

struct Dib8 {
    std::size_t width = 0;
    std::size_t height = 0;
    std::size_t stride = 0;
    std::vector<std::uint8_t> rows;  // height rows of stride bytes, top row first
    Palette palette{};               // entries the file does not supply are zero
    std::uint32_t paletteEntries = 0;
};

// nullopt when the file cannot be opened, is not an 8-bit BMP, or cannot be decoded.
std::optional<Dib8> LoadDib8(const char* path, std::span<std::uint8_t> scratch);

}  // namespace tessaly
