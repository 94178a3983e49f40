// Image files the reference host reads and writes around the plug-in: PNG
// previews, raw BGRA dumps and binary PGM gray images.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessaly_cli {

// Writes width x height 32-bit host pixels (B, G, R, A): as RGBA PNG, or as
// the raw bytes when the name ends in ".raw". False on any write failure.
bool WritePixels(const std::string& path, const std::vector<std::uint32_t>& pixels, int width, int height);

// Writes one byte per pixel: binary PGM (P5), or an 8-bit gray PNG when the name ends in ".png".
bool WriteGray(const std::string& path, const std::vector<std::uint8_t>& gray, int width, int height);

// Reads a binary 8-bit PGM (P5, maxval 255 or less); false with a reason otherwise.
bool ReadPgm(const std::string& path, std::vector<std::uint8_t>& gray, int& width, int& height, std::string& error);

bool EndsWith(const std::string& s, const std::string& suffix);

}  // namespace tessaly_cli
