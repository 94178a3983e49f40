// Decoding a file's pixels once its header area has been read (bmp_reader.h):
// into an image at the file's size, into one byte per pixel, or scaled.
#pragma once

#include <memory_resource>

#include "bmp/read/colour_transform.h"
#include "bmp/read/decode_plain.h"
#include "bmp/read/header.h"
#include "bmp/read/pixel_sink.h"
#include "bmp/read/resample.h"

namespace tessaly {

// Each takes the vector level its kernels may use (cpu.h), asked once per operation.
//
// Decodes the pixel data into `out`, an image of the file's width and height,
// top row first, every element written. Index formats go through `table`;
// with a `conversion`, every decoded pixel goes through it before it lands.
// Never fails once the layout is resolved; an I/O error throws FileError,
// leaving the rows decoded so far in `out`.
void DecodePixels(StreamReader& in, const BmpLayout& layout, const PixelTable& table, ImageView out, Simd simd,
                  const ColourTransform* conversion = nullptr);
// The same, keeping the blue byte of each pixel (a gray level, for gray files).
void DecodePixels(StreamReader& in, const BmpLayout& layout, const PixelTable& table, GrayRows& rows, Simd simd);

// Scales the file's pixels into `dst` (the host's size) while decoding them:
// each decoded row goes straight to the cubic resampler, so no image at the
// file's size is ever held. A `conversion` applies before the resampler, which
// averages levels as they are meant. Its working memory comes from `memory`.
void ScalePixels(StreamReader& in, const BmpLayout& layout, const PixelTable& table, ImageView dst, Simd simd,
                 std::pmr::memory_resource* memory = std::pmr::get_default_resource(),
                 const ColourTransform* conversion = nullptr);

}  // namespace tessaly
