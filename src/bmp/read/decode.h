// Decoding a file's pixels once its header area has been read (bmp_reader.h),
// into any row target (pixel_sink.h): the frame shared by every uncompressed
// depth, and the RLE and Huffman 1-D decoders. Templates over the row target,
// so the decoders serve the loader (an image, the resampler, the colour
// conversion) and the gray loader alike without knowing either.
//
// Every element of the image is written, top row first whichever order the
// file stores its rows in: index formats through `table`, pixel data cut short
// as what zero bytes decode to, compressed streams that end early as palette
// entry 0. An I/O error ends decoding where it happened (the reader says so),
// with the rows decoded so far in place.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>

#include "bmp/read/byte_reader.h"
#include "bmp/read/decode_huffman.h"
#include "bmp/read/decode_plain.h"
#include "bmp/read/decode_rgba64.h"
#include "bmp/read/decode_rle.h"
#include "bmp/read/geometry.h"
#include "bmp/read/header.h"
#include "bmp/read/pixel_sink.h"
#include "shell/assert.h"

namespace tessaly {
namespace decode {

// Feeds stored rows through the reader to `expand`, in pieces that fit the
// reader's buffer and the row target. Once the file has ended, the rest of
// the image is what zero bytes decode to, handed over as runs.
template <class Rows, class Expand>
void DecodeRows(ByteReader& in, const BmpLayout& layout, Rows& rows, Expand expand) {
    const unsigned bits = layout.bitCount;
    // Pieces hold a whole number of bytes: a multiple of 8 pixels, as many as
    // fit the buffer (which holds at least 8 pixels of any depth).
    TESSALY_ASSERT(in.Capacity() >= 64);
    const std::size_t piecePixels = std::max<std::size_t>(8, (in.Capacity() * 8 / bits) / 8 * 8);
    const std::uint8_t zeros[8] = {};  // one pixel of the widest format (64 bits)
    std::uint32_t zeroPixel = 0;
    expand(std::span<const std::uint8_t>(zeros), std::span<std::uint32_t>(&zeroPixel, 1));
    const std::size_t width = layout.width, height = layout.height;
    for (std::size_t r = 0; r < height; ++r) {
        const std::size_t y = layout.topDown ? r : height - 1 - r;
        if (in.Failed()) return;  // an I/O error ends decoding; the rows decoded so far stay
        if (in.Remaining() == 0) {
            // Compat: pixel data cut short read as zero bytes (8 bits and more only;
            // shorter depths are refused before decoding).
            rows.FillRows(layout.topDown ? r : 0, height - r, zeroPixel);
            return;
        }
        const std::uint64_t rowStart = in.Offset();
        for (std::size_t x = 0; x < width;) {
            if (in.Remaining() == 0) {
                if (in.Failed()) return;
                rows.Fill(y, x, width - x, zeroPixel);
                break;
            }
            const auto piece = rows.Piece(y, x);
            const std::size_t n = std::min(piece.size(), piecePixels);
            const auto bytes = RowPixelBytes(static_cast<std::uint32_t>(n), bits);
            const auto stored = in.TakeZeroPadded(static_cast<std::size_t>(bytes));
            if (in.Failed()) return;
            expand(stored, piece.first(n));
            rows.Commit(y, x, n);
            x += n;
        }
        in.Seek(rowStart + layout.stride);
    }
}

template <class Rows>
void DecodeUncompressed(ByteReader& in, const BmpLayout& layout, const PixelTable& table, Rows& out) {
    switch (layout.format) {
    case PixelFormat::Indexed1: {
        const auto bytes = std::make_unique<ByteTable1>();
        MakeByteTable(table, *bytes);
        return DecodeRows(in, layout, out, [&](auto src, auto dst) { ExpandIndexed1(src, dst, *bytes); });
    }
    case PixelFormat::Indexed2:
        return DecodeRows(in, layout, out, [&](auto src, auto dst) { ExpandIndexed2(src, dst, table); });
    case PixelFormat::Indexed4: {
        ByteTable4 bytes;
        MakeByteTable(table, bytes);
        return DecodeRows(in, layout, out, [&](auto src, auto dst) { ExpandIndexed4(src, dst, bytes); });
    }
    case PixelFormat::Indexed8:
        return DecodeRows(in, layout, out, [&](auto src, auto dst) { ExpandIndexed8(src, dst, table); });
    case PixelFormat::Bgr24: {
        const ExpandBgr24Fn expand = kExpandBgr24.Best();
        return DecodeRows(in, layout, out, [expand](auto src, auto dst) { expand(src, dst); });
    }
    case PixelFormat::Bgrx32:
        return DecodeRows(in, layout, out, [](auto src, auto dst) { ExpandBgrx32(src, dst); });
    case PixelFormat::Masked16: {
        const auto masks = std::make_unique<MaskDecoder>(layout.masks);
        return DecodeRows(in, layout, out, [&](auto src, auto dst) { ExpandMasked16(src, dst, *masks); });
    }
    case PixelFormat::Masked32: {
        const auto masks = std::make_unique<MaskDecoder>(layout.masks);
        return DecodeRows(in, layout, out, [&](auto src, auto dst) { ExpandMasked32(src, dst, *masks); });
    }
    case PixelFormat::Rgba64: {
        const Rgba64Levels& levels = Rgba64Levels::Shared();
        return DecodeRows(in, layout, out, [&levels](auto src, auto dst) { ExpandRgba64(src, dst, levels); });
    }
    }
}

}  // namespace decode

// Decodes the pixel data, from the layout's pixel offset on, into `rows`,
// a row target of the file's width and height. With `notes`, what a
// compressed stream needed forgiving is noted there.
template <class Rows>
void DecodeImage(ByteReader& in, const BmpLayout& layout, const PixelTable& table, Rows& rows,
                 StreamNotes* notes = nullptr) {
    in.Seek(layout.pixelOffset);
    if (layout.kind == DecodeKind::Uncompressed) return decode::DecodeUncompressed(in, layout, table, rows);
    // The stream runs to the end of the file and is read piece by piece as commands need it.
    PixelSink<Rows> sink(rows, !layout.topDown);
    if (layout.kind == DecodeKind::Huffman1d) return DecodeHuffman1d(in, table, layout.width, sink, notes);
    DecodeRle(layout.kind, in, table, layout.width, sink, notes);
}

}  // namespace tessaly
