// The run-length decoders (RLE8, RLE4 and OS/2 RLE24), sharing one command loop.
//
// Writes only through the PixelSink and reads only through a reader whose
// Take(n) is met in full or not at all (a ByteReader over bytes in memory, or
// the ByteReader of an open file), so neither the image nor the stream can
// be overrun, and the stream is never held whole. Decoding
// ends at end of bitmap, at the end of the stream, at a command cut off by the
// end of the stream, or when a command would write past the image; every
// element not written by then is the fill pixel (palette entry 0). It cannot
// fail: whatever the stream holds, the whole image is defined afterwards
// (unless a read fails: then decoding ends where it did, and the reader says so).
//
// Commands: c s (c >= 1) an encoded run; 00 00 end of line; 00 01 end of
// bitmap; 00 02 dx dy a delta; 00 s (s >= 3) an absolute run, its data padded
// to an even length. The formats differ only in how a run's pixels are made
// and whether a run may go on past the end of its row, each settled once per
// command by the Place* functions below.
//
// A template over the sink's row target (pixel_sink.h), so any consumer of
// rows can take the decoded image without this file knowing it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>

#include "bmp/read/byte_reader.h"
#include "bmp/read/damage.h"
#include "bmp/read/decode_plain.h"
#include "bmp/read/header.h"
#include "bmp/read/pixel_sink.h"

namespace tessaly {
namespace rle {

struct RleState {
    std::size_t width;
    std::size_t x = 0;  // pixels placed in the current row, moved on by deltas
    // How decoding ended, and what it forgave on the way (counted where the
    // caller asks for it, and on the slow path, which costs nothing).
    enum class End : std::uint8_t { StreamRanOut, EndOfBitmap, PastImage } end = End::StreamRanOut;
    std::uint64_t runsCut = 0;
};

// How many of a run's n pixels land: runs stop at the end of the row and the
// rest is dropped (the stream moves past the whole command), in every format.
// Writers that overshoot the width with a row's last run (ImageMagick's RLE8)
// rely on it; carrying the overshoot into the next row would shear the picture.
inline std::size_t PixelsPlaced(RleState& st, std::size_t n) {
    const std::size_t placed = st.x < st.width ? std::min(n, st.width - st.x) : 0;
    st.runsCut += placed < n;
    return placed;
}

inline std::uint32_t Bgr(const std::uint8_t* p) {
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

// An escape command (00 s, s < 3): end of line (0), end of bitmap (1), or a
// delta of dx right and dy rows on (2). False when decoding ends.
template <class Sink>
bool PlaceEscape(RleState& st, Sink& sink, std::uint32_t fill, std::size_t s, std::uint8_t dx, std::uint8_t dy) {
    if (s == 0) {  // pixels the line did not reach are the fill
        const bool more = st.x >= st.width || sink.Fill(fill, st.width - st.x);
        st.x = 0;
        return more;
    }
    if (s == 1) {
        st.end = RleState::End::EndOfBitmap;
        return false;
    }
    const std::uint64_t skip = dx + std::uint64_t{dy} * st.width;
    // Limit: a delta past the last element ends decoding; the rest is fill anyway.
    if (skip > sink.Remaining()) {
        st.end = RleState::End::PastImage;
        return false;
    }
    if (!sink.Fill(fill, static_cast<std::size_t>(skip))) return false;
    st.x += dx;
    return true;
}

// Stream bytes that hold s pixels of an absolute run, before the pad byte.
template <DecodeKind Kind>
std::size_t AbsoluteBytes(std::size_t s) {
    if constexpr (Kind == DecodeKind::Rle4) return (s + 1) / 2;
    if constexpr (Kind == DecodeKind::Rle24) return 3 * s;
    return s;
}

// The most stream bytes one command takes: an absolute run of 255 pixels and its pad byte.
template <DecodeKind Kind>
inline constexpr std::size_t kLongestCommand = 2 + (Kind == DecodeKind::Rle4 ? 128 : Kind == DecodeKind::Rle24 ? 766 : 256);

// What the pixels of a run are made from: the palette as 32-bit pixels, and
// for RLE4 every byte's two pixels, so a run is written without per-pixel work.
struct RunTables {
    const PixelTable& table;
    ByteTable4 pairs;
};

#if defined(__GNUC__)
#define TESSALY_INLINE [[gnu::always_inline]] inline
#else
#define TESSALY_INLINE inline
#endif

// A run written straight into the sink's current piece, at `out`: n pixels of
// an encoded run (colour byte s) or of an absolute run (index bytes at data).
// Encoded RLE8 runs of up to eight take eight stores whatever n is (the room
// is there, and the surplus is written again before the piece is handed on).
template <DecodeKind Kind>
TESSALY_INLINE void PlaceRun(bool encoded, std::size_t n, std::size_t s, const std::uint8_t* data, std::uint32_t* out,
                             const RunTables& t) {
    if constexpr (Kind == DecodeKind::Rle8) {
        if (encoded) {
            const std::uint32_t px = t.table[s];
            if (n <= 8) {
                for (std::size_t j = 0; j < 8; ++j) out[j] = px;
            } else {
                for (std::size_t j = 0; j < n; ++j) out[j] = px;
            }
        } else {
            for (std::size_t j = 0; j < n; ++j) out[j] = t.table[data[j]];
        }
    } else {
        if (encoded) {
            const auto& two = t.pairs[s];
            for (std::size_t j = 0; j < n; j += 2) std::memcpy(out + j, two.data(), 8);
        } else {
            for (std::size_t j = 0; j < n; j += 2) std::memcpy(out + j, t.pairs[data[j / 2]].data(), 8);
        }
    }
}

// Runs the commands until one ends decoding. Commands that lie wholly in a
// window of buffered bytes are read straight from it (the window holds at
// least the longest command, so none in it can be cut off), and runs shorter
// than a long run (which the sink hands to its row target whole) that leave 8
// pixels of room in the sink's piece are written through a cursor held here,
// the sink told only when another path is taken; the last few commands of the
// stream go through the reader's all-or-nothing Take.
template <DecodeKind Kind, bool Noted, class Sink>
void RunCommands(ByteReader& in, const RunTables& t, RleState& st, Sink& sink) {
    const std::uint32_t fill = t.table[0];
    constexpr std::size_t kLongest = kLongestCommand<Kind>;
    const std::size_t width = st.width;
    for (;;) {
        const auto window = in.Window(4 * kLongest);
        if (window.size() < kLongest) break;
        const std::uint8_t* const begin = window.data();
        const std::uint8_t* const last = begin + (window.size() - kLongest);
        const std::uint8_t* p = begin;
        std::uint32_t* out = sink.Cursor();
        std::size_t room = sink.Room(), written = 0, x = st.x;
        bool more = true;
        while (p <= last) {
            const std::size_t c = p[0], s = p[1];
            const std::size_t bytes = c != 0 ? (Kind == DecodeKind::Rle24 ? 2 : 0) : AbsoluteBytes<Kind>(s);
            const std::size_t n = x < width ? std::min(c != 0 ? c : s, width - x) : 0;
            if (Kind != DecodeKind::Rle24 && (c != 0 || s >= 3) && n < 64 && n + 8 <= room) {
                if constexpr (Noted) st.runsCut += (c != 0 ? c : s) > n;
                PlaceRun<Kind>(c != 0, n, s, p + 2, out, t);
                out += n;
                room -= n;
                written += n;
                x += n;
                p += 2 + bytes + bytes % 2;
                continue;
            }
            // Every other command through the sink itself, told first what the cursor wrote.
            sink.Advance(written);
            written = 0;
            st.x = x;
            if (c != 0) {
                const std::uint8_t colour[3] = {static_cast<std::uint8_t>(s), p[2], p[3]};
                more = PlaceEncoded<Kind>(st, sink, t.table, c, colour);
            } else if (s >= 3) {
                more = PlaceAbsolute<Kind>(st, sink, t.table, s, p + 2);
            } else {
                more = PlaceEscape(st, sink, fill, s, s == 2 ? p[2] : 0, s == 2 ? p[3] : 0);
            }
            p += c == 0 && s == 2 ? 4 : 2 + bytes + (c == 0 ? bytes % 2 : 0);
            x = st.x;
            out = sink.Cursor();
            room = sink.Room();
            if (!more) break;
        }
        sink.Advance(written);
        st.x = x;
        in.Skip(static_cast<std::size_t>(p - begin));
        if (!more) return;
    }
    while (auto cmd = in.Take(2)) {
        const std::size_t c = (*cmd)[0];
        const std::size_t s = (*cmd)[1];
        if (c != 0) {
            std::uint8_t colour[3] = {static_cast<std::uint8_t>(s), 0, 0};
            if constexpr (Kind == DecodeKind::Rle24) {
                const auto rest = in.Take(2);
                if (!rest) return;  // Limit: a command cut off by the end of the stream ends decoding
                colour[1] = (*rest)[0];
                colour[2] = (*rest)[1];
            }
            if (!PlaceEncoded<Kind>(st, sink, t.table, c, colour)) return;
            continue;
        }
        if (s < 2) {
            if (!PlaceEscape(st, sink, fill, s, 0, 0)) return;
        } else if (s == 2) {
            const auto d = in.Take(2);
            if (!d || !PlaceEscape(st, sink, fill, s, (*d)[0], (*d)[1])) return;
        } else {  // absolute run
            const std::size_t bytes = AbsoluteBytes<Kind>(s);
            const auto data = in.Take(bytes);
            if (!data) return;
            if (!PlaceAbsolute<Kind>(st, sink, t.table, s, data->data())) return;
            if (bytes % 2) (void)in.Take(1);  // the pad byte; a stream may end without it
        }
    }
}

}  // namespace rle

// `kind` is Rle8, Rle4 or Rle24; `width` is the image's width in pixels. With
// `notes`, what the stream needed forgiving is noted there.
template <class Rows>
void DecodeRle(DecodeKind kind, ByteReader& in, const PixelTable& table, std::size_t width, PixelSink<Rows>& sink,
               StreamNotes* notes = nullptr) {
    using namespace rle;
    RleState st{width};
    RunTables t{table, {}};
    const std::uint64_t elements = sink.Remaining();
    // The format is settled once here; the command loop never asks again.
    const auto run = [&](auto noted) {
        switch (kind) {
        case DecodeKind::Rle4:
            MakeByteTable(table, t.pairs);
            return RunCommands<DecodeKind::Rle4, decltype(noted)::value>(in, t, st, sink);
        case DecodeKind::Rle24: return RunCommands<DecodeKind::Rle24, decltype(noted)::value>(in, t, st, sink);
        default: return RunCommands<DecodeKind::Rle8, decltype(noted)::value>(in, t, st, sink);
        }
    };
    if (notes) run(std::true_type{});
    else run(std::false_type{});
    if (notes) {
        const std::uint64_t stopped = (elements - sink.Remaining()) / width;
        notes->runsCut = st.runsCut;
        notes->pastImage = st.end == RleState::End::PastImage;
        notes->endedEarly = st.end == RleState::End::StreamRanOut && sink.Remaining() != 0 && !in.Failed();
        if (notes->pastImage || notes->endedEarly) {
            notes->row = stopped;
            notes->offset = in.Offset();
        }
        if (st.end == RleState::End::EndOfBitmap) notes->trailing = in.Remaining();
    }
    // Limit: elements no command reached are the fill pixel, never leftover
    // memory; after a failed read the load fails, and nothing more is written.
    if (!in.Failed()) (void)sink.Fill(table[0], sink.Remaining());
}

}  // namespace tessaly
