// The loader: headers, colour table, pixel decoding and scaling into the
// host's buffer. Every check that can refuse the file runs before the first
// pixel store, so a refused load leaves the host's buffer untouched. A load at
// the file's own size decodes straight into the host's rows; a scaled load
// hands each decoded row to the resampler, which writes the host's rows as
// soon as their source rows have arrived.
#include <algorithm>
#include <memory>
#include <memory_resource>
#include <vector>

#include "bmp/read/bmp_reader.h"
#include "bmp/read/decode.h"
#include "bmp/read/decode_huffman.h"
#include "bmp/read/decode_rgba64.h"
#include "bmp/read/decode_rle.h"
#include "bmp/read/geometry.h"
#include "shell/assert.h"
#include "shell/bmp_codec.h"
#include "shell/file.h"

namespace tessaly {
namespace {

// Limit: a scaled load refuses a file that declares more source pixels than
// the largest of these and the target. Decoding and resampling cost time in
// proportion to the source, and a tiny file can declare a huge image (an RLE
// stream that ends at once, pixel data cut short); real files stay far below
// (an RLE stream spends at least 2 bytes per row), and any file at or under
// 2^26 pixels (a 64-megapixel source) loads whatever it holds.
constexpr std::uint64_t kMaxPixelsPerFileByte = 4096;
constexpr std::uint64_t kAlwaysScaledPixels = std::uint64_t{1} << 26;
// Limit: the resampler's working memory (rows and weights for the target's
// width) may not pass this; a target that needs more is refused before
// anything is allocated. A 16384-pixel-wide target needs at most 8 MiB.
constexpr std::uint64_t kMaxResampleBytes = std::uint64_t{256} << 20;

// Feeds stored rows through the reader to `expand`, in pieces that fit the
// reader's buffer and the row target. Once the file has ended, the rest of
// the image is what zero bytes decode to, handed over as runs.
template <class Rows, class Expand>
void DecodeRows(StreamReader& in, const BmpLayout& layout, Rows& rows, Expand expand) {
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
        if (in.Remaining() == 0) {
            // Compat: pixel data cut short read as zero bytes (8 bits and more only;
            // shorter depths are refused before decoding).
            rows.FillRows(layout.topDown ? r : 0, height - r, zeroPixel);
            return;
        }
        const std::uint64_t rowStart = in.Offset();
        for (std::size_t x = 0; x < width;) {
            if (in.Remaining() == 0) {
                rows.Fill(y, x, width - x, zeroPixel);
                break;
            }
            const auto piece = rows.Piece(y, x);
            const std::size_t n = std::min(piece.size(), piecePixels);
            const auto bytes = RowPixelBytes(static_cast<std::uint32_t>(n), bits);
            expand(in.TakeZeroPadded(static_cast<std::size_t>(bytes)), piece.first(n));
            rows.Commit(y, x, n);
            x += n;
        }
        in.Seek(rowStart + layout.stride);
    }
}

template <class Rows>
void DecodeUncompressed(StreamReader& in, const BmpLayout& layout, const PixelTable& table, Rows& out, Simd simd) {
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
    case PixelFormat::Bgr24:
        return DecodeRows(in, layout, out, [simd](auto src, auto dst) { ExpandBgr24(src, dst, simd); });
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

}  // namespace

namespace {

template <class Rows>
void DecodeInto(StreamReader& in, const BmpLayout& layout, const PixelTable& table, Rows& rows, Simd simd) {
    in.Seek(layout.pixelOffset);
    if (layout.kind == DecodeKind::Uncompressed) return DecodeUncompressed(in, layout, table, rows, simd);
    // The stream runs to the end of the file and is read piece by piece as commands need it.
    PixelSink<Rows> sink(rows, !layout.topDown);
    if (layout.kind == DecodeKind::Huffman1d) return DecodeHuffman1d(in, table, layout.width, sink);
    DecodeRle(layout.kind, in, table, layout.width, sink);
}

// Decodes into `rows`, through the conversion when there is one: every
// decoded row of direct colours, or once the 256 colours of a table (each
// pixel of an indexed picture is one of them, so the result is the same).
template <class Rows>
void DecodeConverted(StreamReader& in, const BmpLayout& layout, const PixelTable& table, Rows& rows, Simd simd,
                     const ColourTransform* conversion) {
    if (!conversion) return DecodeInto(in, layout, table, rows, simd);
    if (layout.bitCount <= 8) {
        PixelTable converted = table;
        conversion->Convert(converted, simd);
        return DecodeInto(in, layout, converted, rows, simd);
    }
    ConvertedRows<Rows> converted(rows, *conversion, simd);
    DecodeInto(in, layout, table, converted, simd);
}

}  // namespace

void DecodePixels(StreamReader& in, const BmpLayout& layout, const PixelTable& table, ImageView out, Simd simd,
                  const ColourTransform* conversion) {
    ImageRows rows(out);
    DecodeConverted(in, layout, table, rows, simd, conversion);
}

void DecodePixels(StreamReader& in, const BmpLayout& layout, const PixelTable& table, GrayRows& rows, Simd simd) {
    DecodeInto(in, layout, table, rows, simd);
}

void ScalePixels(StreamReader& in, const BmpLayout& layout, const PixelTable& table, ImageView dst, Simd simd,
                 std::pmr::memory_resource* memory, const ColourTransform* conversion) {
    // Rows reach the resampler in stored order: bottom row first unless the file is top-down.
    RowResampler resampler(layout.width, layout.height, dst, !layout.topDown, simd, memory);
    DecodeConverted(in, layout, table, resampler, simd, conversion);
}

Refusal BmpCodec::LoadBmp(const char* path, void* pixels, std::int32_t width, std::int32_t height) {
    // Limit: a target with no pixels, or one no 32-bit host could allocate, is refused.
    if (width <= 0 || height <= 0 || !PixelBufferBytes(width, height)) return Refusal::NoTarget;
    BmpReader reader(path, scratch);
    return LoadFrom(reader, pixels, width, height);
}

Refusal BmpCodec::LoadFrom(BmpReader& reader, void* pixels, std::int32_t width, std::int32_t height) {
    if (width <= 0 || height <= 0 || !PixelBufferBytes(width, height)) return Refusal::NoTarget;
    // The codec keeps the headers of the last file read, refused or not.
    if (reader.HeadersRead()) {
        fileHeader = reader.Headers().fileHeader;
        infoHeader = reader.Headers().infoHeader;
    }
    if (reader.Reason() != Refusal::None) return reader.Reason();
    palette = reader.Colours();
    const BmpLayout& layout = reader.Layout();
    const PixelTable table = MakePixelTable(palette);
    const ImageView host{static_cast<std::uint32_t*>(pixels), static_cast<std::size_t>(width),
                         static_cast<std::size_t>(height)};
    const Simd simd = BestSimd();
    if (layout.width == host.width && layout.height == host.height) {
        DecodePixels(reader.Stream(), layout, table, host, simd, reader.ColourConversion());
        return Refusal::None;
    }
    const std::uint64_t sourcePixels = std::uint64_t{layout.width} * layout.height;
    const std::uint64_t targetPixels = std::uint64_t{host.width} * host.height;
    if (sourcePixels > std::max({kAlwaysScaledPixels, kMaxPixelsPerFileByte * reader.Stream().Length(), targetPixels}))
        return Refusal::ScaledTooLarge;
    const auto working = RowResampler::WorkingBytes(layout.width, layout.height, host.width, host.height);
    if (!working || *working > kMaxResampleBytes || !AsSize(*working)) return Refusal::ScaleMemory;
    // Limit: the working memory of scaled loads up to this size is kept between
    // loads, so the next one finds its pages already touched (fresh pages cost
    // more than the resampling); a larger one is given back when its load ends.
    constexpr std::uint64_t kKeptWorkspaceBytes = std::uint64_t{4} << 20;
    const auto need = static_cast<std::size_t>(*working) + 4096;  // and room for alignment
    std::vector<std::byte> oneOff;
    std::vector<std::byte>& space = *working <= kKeptWorkspaceBytes ? workspace : oneOff;
    if (space.size() < need) space.resize(need);
    std::pmr::monotonic_buffer_resource memory(space.data(), space.size(), std::pmr::new_delete_resource());
    ScalePixels(reader.Stream(), layout, table, host, simd, &memory, reader.ColourConversion());
    return Refusal::None;
}

int BmpCodec::LoadBmpFile(const char* path, void* pixels, std::int32_t width, std::int32_t height) {
    return LoadBmp(path, pixels, width, height) == Refusal::None ? 1 : 0;
}

}  // namespace tessaly
