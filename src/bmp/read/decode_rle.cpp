// The RLE command loop; see decode_rle.h.
//
// Commands: c s (c >= 1) an encoded run; 00 00 end of line; 00 01 end of
// bitmap; 00 02 dx dy a delta; 00 s (s >= 3) an absolute run, its data padded
// to an even length. The formats differ only in how a run's pixels are made
// and whether a run may go on past the end of its row, each settled once per
// command by the Place* functions below.
#include "bmp/read/decode_rle.h"

#include <algorithm>

#include "bmp/read/byte_reader.h"
#include "bmp/read/colour_transform.h"

namespace tessaly {
namespace {

struct RleState {
    std::size_t width;
    std::size_t x = 0;  // pixels placed in the current row, moved on by deltas
};

// How many of a run's n pixels land: runs stop at the end of the row and the
// rest is dropped (the stream moves past the whole command), in every format.
// Writers that overshoot the width with a row's last run (ImageMagick's RLE8)
// rely on it; carrying the overshoot into the next row would shear the picture.
std::size_t PixelsPlaced(const RleState& st, std::size_t n) { return st.x < st.width ? std::min(n, st.width - st.x) : 0; }

std::uint32_t Bgr(const std::uint8_t* p) {
    return kOpaque | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
}

// An encoded run of c pixels; `colour` holds the byte(s) after the count.
template <DecodeKind Kind, class Sink>
bool PlaceEncoded(RleState& st, Sink& sink, const PixelTable& table, std::size_t c, const std::uint8_t* colour) {
    const std::size_t n = PixelsPlaced(st, c);
    st.x += n;
    if constexpr (Kind == DecodeKind::Rle4) {
        const std::uint32_t pair[2] = {table[colour[0] >> 4], table[colour[0] & 0x0F]};
        return sink.Emit(n, [&pair](std::size_t i) { return pair[i & 1]; });
    } else if constexpr (Kind == DecodeKind::Rle24) {
        return sink.Fill(Bgr(colour), n);
    } else {
        return sink.Fill(table[colour[0]], n);
    }
}

// An absolute run of s pixels from `data`.
template <DecodeKind Kind, class Sink>
bool PlaceAbsolute(RleState& st, Sink& sink, const PixelTable& table, std::size_t s, const std::uint8_t* data) {
    const std::size_t n = PixelsPlaced(st, s);
    st.x += n;
    if constexpr (Kind == DecodeKind::Rle4) {
        return sink.Emit(n, [&](std::size_t i) { return table[(data[i / 2] >> ((i & 1) ? 0 : 4)) & 0x0F]; });
    } else if constexpr (Kind == DecodeKind::Rle24) {
        return sink.Emit(n, [data](std::size_t i) { return Bgr(data + 3 * i); });
    } else {
        return sink.Emit(n, [&](std::size_t i) { return table[data[i]]; });
    }
}

// Stream bytes that hold s pixels of an absolute run, before the pad byte.
template <DecodeKind Kind>
std::size_t AbsoluteBytes(std::size_t s) {
    if constexpr (Kind == DecodeKind::Rle4) return (s + 1) / 2;
    if constexpr (Kind == DecodeKind::Rle24) return 3 * s;
    return s;
}

// Runs the commands until one ends decoding.
template <DecodeKind Kind, class Reader, class Sink>
void RunCommands(Reader& in, const PixelTable& table, RleState& st, Sink& sink) {
    const std::uint32_t fill = table[0];
    while (auto cmd = in.Take(2)) {
        const std::size_t c = (*cmd)[0];
        const std::size_t s = (*cmd)[1];
        if (c != 0) {
            std::uint8_t colour[3] = {static_cast<std::uint8_t>(s), 0, 0};
            if constexpr (Kind == DecodeKind::Rle24) {
                const auto more = in.Take(2);
                if (!more) return;  // Limit: a command cut off by the end of the stream ends decoding
                colour[1] = (*more)[0];
                colour[2] = (*more)[1];
            }
            if (!PlaceEncoded<Kind>(st, sink, table, c, colour)) return;
            continue;
        }
        if (s == 0) {  // end of line
            if (st.x < st.width && !sink.Fill(fill, st.width - st.x)) return;
            st.x = 0;
        } else if (s == 1) {  // end of bitmap
            return;
        } else if (s == 2) {  // delta: dx right, dy rows on
            const auto d = in.Take(2);
            if (!d) return;
            const std::uint64_t dx = (*d)[0];
            const std::uint64_t skip = dx + std::uint64_t{(*d)[1]} * st.width;
            // Limit: a delta past the last element ends decoding; the rest is fill anyway.
            if (skip > sink.Remaining()) return;
            if (!sink.Fill(fill, static_cast<std::size_t>(skip))) return;
            st.x += static_cast<std::size_t>(dx);
        } else {  // absolute run
            const std::size_t bytes = AbsoluteBytes<Kind>(s);
            const auto data = in.Take(bytes);
            if (!data) return;
            if (!PlaceAbsolute<Kind>(st, sink, table, s, data->data())) return;
            if (bytes % 2) (void)in.Take(1);  // the pad byte; a stream may end without it
        }
    }
}

}  // namespace

template <class Reader, class Rows>
void DecodeRle(DecodeKind kind, Reader& in, const PixelTable& table, std::size_t width, PixelSink<Rows>& sink) {
    RleState st{width};
    // The format is settled once here; the command loop never asks again.
    switch (kind) {
    case DecodeKind::Rle4:
        RunCommands<DecodeKind::Rle4>(in, table, st, sink);
        break;
    case DecodeKind::Rle24:
        RunCommands<DecodeKind::Rle24>(in, table, st, sink);
        break;
    default:
        RunCommands<DecodeKind::Rle8>(in, table, st, sink);
        break;
    }
    // Limit: elements no command reached are the fill pixel, never leftover memory.
    (void)sink.Fill(table[0], sink.Remaining());
}

template void DecodeRle(DecodeKind, ByteReader&, const PixelTable&, std::size_t, PixelSink<ImageRows>&);
template void DecodeRle(DecodeKind, StreamReader&, const PixelTable&, std::size_t, PixelSink<ImageRows>&);
template void DecodeRle(DecodeKind, StreamReader&, const PixelTable&, std::size_t, PixelSink<RowResampler>&);
template void DecodeRle(DecodeKind, StreamReader&, const PixelTable&, std::size_t, PixelSink<GrayRows>&);
template void DecodeRle(DecodeKind, StreamReader&, const PixelTable&, std::size_t, PixelSink<ConvertedRows<ImageRows>>&);
template void DecodeRle(DecodeKind, StreamReader&, const PixelTable&, std::size_t,
                        PixelSink<ConvertedRows<RowResampler>>&);

}  // namespace tessaly
