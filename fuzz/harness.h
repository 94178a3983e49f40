// Shared by the fuzz targets and the crash-input replay test: runs the codec's
// operations on bytes in memory (the byte source every operation reads
// through, as the exports' file source does), checking what each promises.
// The harness caps the sizes it asks for; the library caps nothing on its
// behalf.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "bmp/read/bmp_reader.h"
#include "bmp/read/decode.h"
#include "bmp/read/describe.h"
#include "bmp/read/geometry.h"
#include "bmp/read/image_view.h"
#include "bmp/write/encode.h"
#include "shell/bmp_codec.h"

namespace tessaly::fuzz {

// Limit: the largest image the harness asks the codec for, in pixels.
inline constexpr std::uint64_t kMaxHarnessPixels = 1u << 20;

using Input = std::span<const std::uint8_t>;

inline BmpCodec& FuzzCodec() {
    static auto* codec = new BmpCodec();  // lives for the process, as the module's one codec does
    return *codec;
}

// The file's own width and row count, when the probe reads them and they fit the cap.
inline bool OwnSize(Input file, std::int32_t& w, std::int32_t& h) {
    ImageInfo info;
    if (!BmpCodec::ProbeFrom(MemorySource(file), info).Ok() || info.width <= 0 || info.height == 0 ||
        info.height == INT32_MIN)
        return false;
    w = info.width;
    h = info.height < 0 ? -info.height : info.height;
    return std::uint64_t(w) * std::uint64_t(h) <= kMaxHarnessPixels;
}

// Loads into a w x h buffer; a failed load must leave the buffer untouched.
inline std::vector<std::uint32_t> Load(Input file, std::int32_t w, std::int32_t h) {
    std::vector<std::uint32_t> px(std::size_t(w) * std::size_t(h), 0xA5A5A5A5u);
    BmpReader reader(MemorySource(file), FuzzCodec().scratch);
    if (FuzzCodec().LoadFrom(reader, ImageView{px.data(), std::size_t(w), std::size_t(h)}).Ok()) return px;
    for (const std::uint32_t p : px)
        if (p != 0xA5A5A5A5u) std::abort();  // a refused load wrote into the host's buffer
    return {};
}

inline std::vector<std::uint32_t> LoadOwnSize(Input file, std::int32_t& w, std::int32_t& h) {
    return OwnSize(file, w, h) ? Load(file, w, h) : std::vector<std::uint32_t>{};
}

inline void LoadScaled(Input file, std::int32_t w, std::int32_t h) { (void)Load(file, w, h); }

// A file is gray only when it loads, and its gray load holds, for each
// pixel, the level the load shows (its blue byte). Anything else is refused
// with the buffer untouched, and nothing is written past width x height.
inline void GrayOperations(Input file) {
    const bool gray = BmpCodec::GrayCheck(BmpReader(MemorySource(file), FuzzCodec().scratch)).Ok();
    std::int32_t w = 0, h = 0;
    if (!OwnSize(file, w, h)) return;
    std::vector<std::uint8_t> out(std::size_t(w) * std::size_t(h) + 16, 0x5A);
    BmpReader reader(MemorySource(file), FuzzCodec().scratch);
    const bool loaded = BmpCodec::LoadGrayFrom(reader, GrayTarget{out.data(), std::nullopt}).Ok();
    for (std::size_t i = out.size() - 16; i < out.size(); ++i)
        if (out[i] != 0x5A) std::abort();  // wrote past the file's width x height
    if (loaded != gray) std::abort();  // the test and the load disagree
    const std::vector<std::uint32_t> shown = Load(file, w, h);
    if (!loaded) {
        for (std::size_t i = 0; i + 16 < out.size(); ++i)
            if (out[i] != 0x5A) std::abort();  // a refused gray load wrote into the buffer
        return;
    }
    if (shown.empty()) std::abort();  // gray, yet a load refuses it
    for (std::size_t i = 0; i < shown.size(); ++i)
        if (out[i] != (shown[i] & 0xFF)) std::abort();  // a gray level that is not what the load shows
}

// Saves loaded pixels in every form and loads each back.
inline void RoundTrip(Input file) {
    std::int32_t w = 0, h = 0;
    const auto px = LoadOwnSize(file, w, h);
    if (px.empty() || std::uint64_t(w) * std::uint64_t(h) > (1u << 16)) return;
    PaletteIndexer indexer;
    indexer.Learn(px);
    for (const auto& [bits, compression] : {std::pair<std::uint8_t, std::uint32_t>{24, 0}, {32, 0}, {8, 0}, {8, 1}}) {
        std::vector<std::uint8_t> saved;
        if (!FuzzCodec().SaveTo(VectorSink(saved), SaveRequest{*ChooseSaveFormat(bits, compression), w, h, px.data()}).Ok())
            std::abort();
        const auto back = Load(saved, w, h);
        if (back.size() != px.size()) std::abort();
        // 32 bits keep the fourth byte when the picture has transparency (a V4 file).
        const bool keepsAlpha = bits == 32 && kCarriesTransparency.Plain()(px);
        for (std::size_t i = 0; i < px.size(); ++i) {
            std::uint32_t want = keepsAlpha ? px[i] : px[i] | 0xFF000000u;
            if (bits == 8) {
                std::uint32_t entry = 0;
                std::memcpy(&entry, &indexer.Palette()[4u * indexer.IndexOf(px[i])], 4);
                want = entry | 0xFF000000u;
            }
            if (back[i] != want) std::abort();
        }
    }
}

// The RLE command loop and the Huffman 1-D decoder over bytes in memory. The
// first three bytes choose the width, the height and the format with the row
// order; the rest is the stream.
// Afterwards every element must be defined.
inline void RleKernel(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return;
    const std::size_t w = 1 + data[0] % 64, h = 1 + data[1] % 64;
    const DecodeKind kinds[] = {DecodeKind::Rle8, DecodeKind::Rle4, DecodeKind::Rle24, DecodeKind::Huffman1d};
    const DecodeKind kind = kinds[data[2] % 4];
    PixelTable table;
    for (std::uint32_t i = 0; i < 256; ++i) table[i] = 0xFF000000u | i;
    // The stream decoded, noting what it needed forgiving; every element must
    // be defined. The reader's buffer is the usual kernel buffer, or one a
    // byte short of the longest command, too small for any command to be read
    // from its window (every command then goes through Take, one at a time,
    // the decoders' reference path).
    const std::size_t takeOnly = kind == DecodeKind::Rle8 ? 257 : kind == DecodeKind::Rle4 ? 129 : 767;
    const auto decode = [&](std::span<const std::uint8_t> stream, StreamNotes* notes, bool byTake = false) {
        std::vector<std::uint32_t> out(w * h, 0x12345678u);  // no table entry makes this value
        ImageRows rows(ImageView{out.data(), w, h});
        PixelSink<ImageRows> sink(rows, data[2] & 0x80);
        std::array<std::uint8_t, 1024> buffer;
        ByteReader in(MemorySource(stream), std::span<std::uint8_t>(buffer).first(byTake ? takeOnly : buffer.size()));
        if (kind == DecodeKind::Huffman1d) DecodeHuffman1d(in, table, w, sink, notes);
        else DecodeRle(kind, in, table, w, sink, notes);
        for (const std::uint32_t p : out)
            if (p == 0x12345678u) std::abort();  // an element was never written
        return out;
    };
    const std::span<const std::uint8_t> stream(data + 3, size - 3);
    StreamNotes notes;
    const auto image = decode(stream, &notes);
    if (kind != DecodeKind::Huffman1d) {
        // The windowed command loop (its stretches of short runs included)
        // decodes and notes exactly what the reference path does.
        StreamNotes byTake;
        if (decode(stream, &byTake, true) != image || byTake.runsCut != notes.runsCut || byTake.deltasPastRow != notes.deltasPastRow || byTake.row != notes.row ||
            byTake.offset != notes.offset || byTake.pastImage != notes.pastImage ||
            byTake.endedEarly != notes.endedEarly || byTake.trailing != notes.trailing)
            std::abort();
    }
    // A stream reported whole (nothing forgiven, nothing guessed) defines the
    // image itself: bytes after it change nothing.
    if (notes.endedEarly || notes.pastImage || notes.runsCut != 0 || notes.deltasPastRow != 0 ||
        notes.rowsCutShort != 0 || notes.bitOrderUnsure ||
        notes.validRows < h)
        return;
    std::vector<std::uint8_t> twin(stream.begin(), stream.end());
    twin.insert(twin.end(), {0x05, 0xAA, 0x00, 0x04, 0x12, 0x34, 0x56, 0x78, 0x00, 0x00, 0x03, 0x99});
    if (decode(twin, nullptr) != image) std::abort();
}

// Plain (uncompressed) decoding over bytes in memory. The first four bytes
// choose the width, the height, the format with the row order, and the read
// buffer's size (so rows split into pieces at every place); the rest is the
// pixel array. Afterwards every element must be defined.
inline void PlainKernel(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return;
    struct Format {
        PixelFormat format;
        std::uint16_t bits;
    };
    static constexpr Format kFormats[] = {{PixelFormat::Indexed1, 1},  {PixelFormat::Indexed2, 2},
                                          {PixelFormat::Indexed4, 4},  {PixelFormat::Indexed8, 8},
                                          {PixelFormat::Masked16, 16}, {PixelFormat::Bgr24, 24},
                                          {PixelFormat::Bgrx32, 32},   {PixelFormat::Masked32, 32},
                                          {PixelFormat::Rgba64, 64}};
    const Format f = kFormats[data[2] % std::size(kFormats)];
    BmpLayout layout;
    layout.width = 1 + data[0] % 96u;
    layout.height = 1 + data[1] % 64u;
    layout.topDown = (data[2] & 0x80) != 0;
    layout.bitCount = f.bits;
    layout.format = f.format;
    layout.masks = f.bits == 16 ? ChannelMasks{0xF800, 0x07E0, 0x001F, 0} : ChannelMasks{0xFF0000, 0xFF00, 0xFF, 0};
    layout.pixelOffset = 4;
    layout.stride = RowStride(layout.width, f.bits);
    PixelTable table;
    for (std::uint32_t i = 0; i < 256; ++i) table[i] = 0xFF000000u | i * 0x010101u;
    const auto decode = [&](std::span<const std::uint8_t> file) {
        std::vector<std::uint8_t> scratch(64 + data[3] * 16u);  // 64 to 4144 bytes: 8 pixels of any depth and more
        ByteReader in(MemorySource(file), scratch);
        std::vector<std::uint32_t> out(std::size_t{layout.width} * layout.height, 0x12345678u);  // no decoder makes this
        ImageRows rows(ImageView{out.data(), layout.width, layout.height});
        DecodeImage(in, layout, table, rows);
        for (const std::uint32_t p : out)
            if (p == 0x12345678u) std::abort();  // an element was never written
        return out;
    };
    const std::span<const std::uint8_t> file(data, size);
    const auto image = decode(file);
    // Pixel data reported whole is read whole: bytes after it change nothing.
    if (PixelDataShortOf(layout, size)) return;
    std::vector<std::uint8_t> twin(file.begin(), file.end());
    twin.resize(twin.size() + 64, 0xA5);
    if (decode(twin) != image) std::abort();
}

}  // namespace tessaly::fuzz
