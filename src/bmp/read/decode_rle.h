// The run-length decoders (RLE8, RLE4 and OS/2 RLE24), sharing one command loop.
//
// Writes only through the PixelSink and reads only through a reader whose
// Take(n) is met in full or not at all (a ByteReader over bytes in memory, or
// the StreamReader of an open file), so neither the image nor the stream can
// be overrun, and the stream is never held whole. Decoding
// ends at end of bitmap, at the end of the stream, at a command cut off by the
// end of the stream, or when a command would write past the image; every
// element not written by then is the fill pixel (palette entry 0). It cannot
// fail: whatever the stream holds, the whole image is defined afterwards.
#pragma once

#include <cstdint>
#include <span>

#include "bmp/read/byte_reader.h"
#include "bmp/read/decode_plain.h"
#include "bmp/read/header.h"
#include "bmp/read/pixel_sink.h"

namespace tessaly {

// `kind` is Rle8, Rle4 or Rle24; `width` is the image's width in pixels.
// Instantiated for ByteReader with ImageRows, and StreamReader with ImageRows,
// RowResampler and GrayRows.
template <class Reader, class Rows>
void DecodeRle(DecodeKind kind, Reader& in, const PixelTable& table, std::size_t width, PixelSink<Rows>& sink);

}  // namespace tessaly
