// The reading operations shared by the loader and the gray loader: open a
// file and resolve its layout, read its colour table, decode its pixels.
#pragma once

#include <optional>

#include "bmp/read/decode_plain.h"
#include "bmp/read/header.h"
#include "bmp/read/pixel_sink.h"
#include "bmp/read/resample.h"

namespace tessaly {

// The layout of a file whose headers were just read, taking any masks that
// follow them; nullopt when the file cannot be decoded (see ResolveLayout).
std::optional<BmpLayout> ReadLayout(StreamReader& in, const BmpHeaders& headers);

// Reads the colour table into `palette`: entry i from the file for every
// entry it supplies, and zero for the rest, so no earlier file's colours
// remain. False when the table is cut short (ResolveLayout already refuses
// such files, so this is a second line of defence).
[[nodiscard]] bool ReadPalette(StreamReader& in, const BmpLayout& layout, Palette& palette);

// Decodes the pixel data into `out`, an image of the file's width and height,
// top row first. Index formats go through `table`, so a table whose entry i
// is i yields palette indices instead of colours. Every element of `out` is
// written. Never fails once the layout is resolved; an I/O error throws
// FileError.
void DecodePixels(StreamReader& in, const BmpLayout& layout, const PixelTable& table, ImageView out);
// The same into any row target (IndexRows keeps one byte per pixel).
void DecodePixels(StreamReader& in, const BmpLayout& layout, const PixelTable& table, IndexRows& rows);

// Scales the file's pixels into `dst` (the host's size) while decoding them:
// each decoded row goes straight to the cubic resampler, so no image at the
// file's size is ever held.
void ScalePixels(StreamReader& in, const BmpLayout& layout, const PixelTable& table, ImageView dst);

}  // namespace tessaly
