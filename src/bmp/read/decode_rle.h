// The run-length decoders (RLE8, RLE4 and OS/2 RLE24), sharing one command loop.
//
// Writes only through the PixelSink (stretches of short runs are decoded into
// an index buffer of fixed size first, never past what the image has left) and
// reads only through a reader whose Take(n) is met in full or not at all (a
// ByteReader over bytes in memory, or the ByteReader of an open file), or from
// its window at offsets proven inside it, so neither the image nor the stream
// can be overrun, and the stream is never held whole. Decoding
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
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "bmp/read/byte_reader.h"
#include "bmp/read/damage.h"
#include "bmp/read/decode_plain.h"
#include "bmp/read/header.h"
#include "bmp/read/pixel_sink.h"
#include "shell/cpu.h"

namespace tessaly {
namespace rle {

struct RleState {
    std::size_t width;
    std::size_t x = 0;  // pixels placed in the current row, moved on by deltas
    // How decoding ended, and what it forgave on the way (runs are cut only on
    // the path through the sink, where counting costs nothing).
    enum class End : std::uint8_t { StreamRanOut, EndOfBitmap, PastImage } end = End::StreamRanOut;
    std::uint64_t runsCut = 0;
    std::uint64_t deltasPastRow = 0;
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
        if (pair[0] == pair[1]) return sink.Fill(pair[0], n);  // one colour: long ones reach the row target as runs
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
    // A delta moves within its row at most to the row's end: past it, the
    // position stays off the row (the row's later pixels are dropped, as a
    // run's are) until an end of line; it never wraps into the next row,
    // which would shift every row after it.
    const std::size_t across = st.x < st.width ? std::min<std::size_t>(dx, st.width - st.x) : 0;
    const std::uint64_t skip = across + std::uint64_t{dy} * st.width;
    // Limit: a delta past the last element ends decoding; the rest is fill
    // anyway. After the image's last pixel it changes nothing and is not damage.
    if (skip > sink.Remaining()) {
        if (sink.Remaining() != 0) st.end = RleState::End::PastImage;
        return false;
    }
    st.deltasPastRow += across < dx;
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

// ---- Stretches of short runs ----
//
// Most commands of a photo's stream are short runs, a few pixels each, and a
// command loop that places each through the sink spends its time on
// mispredicted branches. A stretch kernel instead decodes a stretch of them
// into palette indices, one byte per pixel (the index of an RLE8 pixel, the
// nibble of an RLE4 pixel), with few branches and stores of fixed width; the
// expand kernel then makes the indices pixels in one pass.

// What one stretch decoded: the stream bytes it used and the pixels (indices) it made.
struct RleStretch {
    std::size_t used = 0;
    std::size_t pixels = 0;
};

// Encoded runs shorter than this are a stretch's; longer ones go to the sink
// as runs (which a row target may take in one step).
inline constexpr std::size_t kRleShortRun = 64;
// Bytes a stretch kernel may read from the start of a command it decodes:
// the longest command (2 + 256) and the widest load past it.
inline constexpr std::size_t kRleReadAhead = 2 + 256 + 32;
// Bytes past its budget a stretch kernel may store into (its stores are of
// fixed width, and run ahead of the pixels they make).
inline constexpr std::size_t kRleIndexSlack = 128;
// The most pixels one stretch makes before they are handed to the sink.
inline constexpr std::size_t kRleStretchPixels = 4096;

// Decodes commands from the start of `stream` into indices at `indices`, for
// as long as the next command is an encoded run shorter than kRleShortRun or
// an absolute run, its pixels fit within `budget` pixels in all, and it starts
// at least kRleReadAhead bytes before the end of `stream`. Stops before the
// first command that is not (an escape, a long run, one that would pass the
// budget), so which commands a stretch takes depends only on the stream and
// the budget. `indices` must hold budget + kRleIndexSlack bytes; those past
// the pixels made hold nothing of meaning. RLE8 and RLE4; the plain twins,
// with SSSE3 variants (cpu.h).
using RleStretchFn = RleStretch (*)(std::span<const std::uint8_t> stream, std::size_t budget, std::uint8_t* indices);
RleStretch RleStretch8Scalar(std::span<const std::uint8_t> stream, std::size_t budget, std::uint8_t* indices);
RleStretch RleStretch4Scalar(std::span<const std::uint8_t> stream, std::size_t budget, std::uint8_t* indices);
extern const KernelFamily<RleStretchFn> kRleStretch8;
extern const KernelFamily<RleStretchFn> kRleStretch4;

// Pixels from indices through the table: dst[i] = table[indices[i]], the two
// spans of one length. kExpandNibbleIndices takes indices below 16 only (an
// RLE4 stretch's), which its vector variants look up within registers. With
// `streamed` (the row target's Streamed()), the AVX2 and AVX-512 variants
// write whole cache lines of dst with stores that bypass the caches (and
// fence them before returning); the pixels are the same.
using ExpandIndicesFn = void (*)(std::span<const std::uint8_t> indices, std::span<std::uint32_t> dst,
                                 const PixelTable& table, bool streamed);
void ExpandIndicesScalar(std::span<const std::uint8_t> indices, std::span<std::uint32_t> dst, const PixelTable& table,
                         bool streamed);
extern const KernelFamily<ExpandIndicesFn> kExpandIndices;
extern const KernelFamily<ExpandIndicesFn> kExpandNibbleIndices;

// Hands `indices` to the sink as pixels, piece by piece. They are never more
// than the image has left (a stretch's budget sees to it).
template <class Sink>
void HandOver(Sink& sink, ExpandIndicesFn expand, const PixelTable& table, std::span<const std::uint8_t> indices) {
    const bool streamed = sink.Streamed();
    while (!indices.empty()) {
        const std::size_t n = std::min(indices.size(), sink.Room());
        if (n == 0) return;  // the image is complete: nothing more can land
        expand(indices.first(n), std::span<std::uint32_t>(sink.Cursor(), n), table, streamed);
        sink.Advance(n);
        indices = indices.subspan(n);
    }
}

// Runs the commands until one ends decoding. Commands that lie wholly in a
// window of buffered bytes are read straight from it (the window holds at
// least the longest command, so none in it can be cut off): RLE8 and RLE4
// stretches of short runs go through the stretch kernel into palette indices,
// which the expand kernel turns into pixels in the sink's pieces; every other
// command (escapes, long runs, a run that would pass its row or the image)
// goes through the sink itself, the pixels made so far handed over first. The
// last few commands of the stream go through the reader's all-or-nothing Take.
template <DecodeKind Kind, class Sink>
void RunCommands(ByteReader& in, const PixelTable& table, RleState& st, Sink& sink) {
    const std::uint32_t fill = table[0];
    constexpr std::size_t kLongest = kLongestCommand<Kind>;
    constexpr bool kStretches = Kind != DecodeKind::Rle24;
    const RleStretchFn stretch = (Kind == DecodeKind::Rle4 ? kRleStretch4 : kRleStretch8).Best();
    const ExpandIndicesFn expand = (Kind == DecodeKind::Rle4 ? kExpandNibbleIndices : kExpandIndices).Best();
    // Limit: a stretch makes at most kRleStretchPixels indices before they become pixels.
    std::array<std::uint8_t, kRleStretchPixels + kRleIndexSlack> indices;
    const std::size_t width = st.width;
    for (;;) {
        const auto window = in.Window(4 * kLongest);
        if (window.size() < kLongest) break;
        const std::uint8_t* const begin = window.data();
        const std::size_t last = window.size() - kLongest;
        std::size_t at = 0;
        bool more = true;
        while (at <= last) {
            if constexpr (kStretches) {
                const std::size_t room = st.x < width ? std::min(width - st.x, sink.Remaining()) : 0;
                const RleStretch made = stretch(window.subspan(at), std::min(room, kRleStretchPixels), indices.data());
                HandOver(sink, expand, table, std::span<const std::uint8_t>(indices.data(), made.pixels));
                st.x += made.pixels;
                at += made.used;
                if (at > last) break;
            }
            // One command through the sink itself.
            const std::uint8_t* const p = begin + at;
            const std::size_t c = p[0], s = p[1];
            if (c != 0) {
                const std::uint8_t colour[3] = {static_cast<std::uint8_t>(s), p[2], p[3]};
                more = PlaceEncoded<Kind>(st, sink, table, c, colour);
                at += Kind == DecodeKind::Rle24 ? 4 : 2;
            } else if (s >= 3) {
                const std::size_t bytes = AbsoluteBytes<Kind>(s);
                more = PlaceAbsolute<Kind>(st, sink, table, s, p + 2);
                at += 2 + bytes + bytes % 2;
            } else {
                more = PlaceEscape(st, sink, fill, s, s == 2 ? p[2] : 0, s == 2 ? p[3] : 0);
                at += s == 2 ? 4 : 2;
            }
            if (!more) break;
        }
        in.Skip(at);
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
            if (!PlaceEncoded<Kind>(st, sink, table, c, colour)) return;
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
            if (!PlaceAbsolute<Kind>(st, sink, table, s, data->data())) return;
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
    const std::uint64_t elements = sink.Remaining();
    // The format is settled once here; the command loop never asks again.
    switch (kind) {
    case DecodeKind::Rle4: RunCommands<DecodeKind::Rle4>(in, table, st, sink); break;
    case DecodeKind::Rle24: RunCommands<DecodeKind::Rle24>(in, table, st, sink); break;
    default: RunCommands<DecodeKind::Rle8>(in, table, st, sink); break;
    }
    if (notes) {
        const std::uint64_t stopped = (elements - sink.Remaining()) / width;
        notes->runsCut = st.runsCut;
        notes->deltasPastRow = st.deltasPastRow;
        notes->pastImage = st.end == RleState::End::PastImage;
        notes->endedEarly = st.end == RleState::End::StreamRanOut && sink.Remaining() != 0 && !in.Failed();
        if (notes->pastImage || notes->endedEarly) {
            notes->row = stopped;
            notes->offset = in.Offset() - (notes->pastImage ? 4 : 0);  // a delta's own offset (it is 4 bytes long)
        }
        if (st.end == RleState::End::EndOfBitmap) notes->trailing = in.Remaining();
    }
    // Limit: elements no command reached are the fill pixel, never leftover
    // memory; after a failed read the load fails, and nothing more is written.
    if (!in.Failed()) (void)sink.Fill(table[0], sink.Remaining());
}

}  // namespace tessaly
