// The OS/2 Huffman 1-D decoder: two-colour pictures coded as in ITU-T T.4's
// one-dimensional (modified Huffman) scheme, each row alternating white and
// black runs from a white one, an EOL code (000000000001, after any zero fill
// bits) between rows.
//
// Reads only through the StreamReader, writes only through the PixelSink, so
// neither the stream nor the image can be overrun: a run never passes the end
// of its row (the rest of the run is dropped), and no table is sized by the
// stream. Decoding ends at an invalid code, at the end of the stream, or once
// the image is complete; every element not written by then is palette entry 0,
// as with the RLE decoders. It cannot fail.
#pragma once

#include <cstddef>

#include "bmp/read/byte_reader.h"
#include "bmp/read/decode_plain.h"
#include "bmp/read/pixel_sink.h"

namespace tessaly {

// White runs are palette entry 0, black runs entry 1; `width` is the image's
// width in pixels. The bit order (the first pixel in a byte's high bit, or in
// its low bit) is taken from the stream's leading EOL.
template <class Rows>
void DecodeHuffman1d(StreamReader& in, const PixelTable& table, std::size_t width, PixelSink<Rows>& sink);

}  // namespace tessaly
