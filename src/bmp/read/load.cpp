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
#include "bmp/read/colour_transform.h"
#include "bmp/read/decode.h"
#include "bmp/read/geometry.h"
#include "bmp/read/image_view.h"
#include "bmp/read/resample.h"
#include "shell/bmp_codec.h"

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

// Colours converted to sRGB on their way to the row target.
struct ConvertFilter {
    const ColourTransform& transform;
    Simd simd;
    void Pixels(std::span<std::uint32_t> pixels) const { transform.Convert(pixels, simd); }
    [[nodiscard]] std::uint32_t Pixel(std::uint32_t px) const { return transform.Pixel(px); }
};

// Notes whether any pixel on its way has an alpha other than 0.
struct AlphaFilter {
    std::uint32_t seen = 0;
    void Pixels(std::span<const std::uint32_t> pixels) {
        std::uint32_t any = 0;
        for (const std::uint32_t px : pixels) any |= px;
        seen |= any;
    }
    [[nodiscard]] std::uint32_t Pixel(std::uint32_t px) {
        seen |= px;
        return px;
    }
};

// Colours weighted by their alpha on their way to the resampler, so that a
// transparent pixel lends its scaled neighbours none of its colour; the
// host's pixels are divided back (Unweigh) once the load ends.
struct WeighFilter {
    static std::uint32_t Weigh(std::uint32_t px) {
        const std::uint32_t a = px >> 24;
        if (a == 255) return px;
        const auto level = [a, px](int shift) { return ((px >> shift & 0xFF) * a + 127) / 255 << shift; };
        return (px & 0xFF000000u) | level(16) | level(8) | level(0);
    }
    void Pixels(std::span<std::uint32_t> pixels) const {
        for (std::uint32_t& px : pixels) px = Weigh(px);
    }
    [[nodiscard]] std::uint32_t Pixel(std::uint32_t px) const { return Weigh(px); }
};

// Divides weighted colours by their alpha; a pixel of alpha 0 has no colour.
void Unweigh(ImageView image) {
    for (std::size_t y = 0; y < image.height; ++y)
        for (std::uint32_t& px : image.Row(y)) {
            const std::uint32_t a = px >> 24;
            if (a == 255) continue;
            if (a == 0) {
                px = 0;
                continue;
            }
            const auto level = [a, px](int shift) {
                return std::min<std::uint32_t>(255, ((px >> shift & 0xFF) * 255 + a / 2) / a) << shift;
            };
            px = (px & 0xFF000000u) | level(16) | level(8) | level(0);
        }
}

// Decodes into `rows`, through the conversion when there is one: every
// decoded row of direct colours, or once the 256 colours of a table (each
// pixel of an indexed picture is one of them, so the result is the same).
template <class Rows>
void DecodeConverted(ByteReader& in, const BmpLayout& layout, const PixelTable& table, Rows& rows,
                     const ColourTransform* conversion) {
    if (!conversion) return DecodeImage(in, layout, table, rows);
    const Simd simd = BestSimd();
    if (layout.bitCount <= 8) {
        PixelTable converted = table;
        conversion->Convert(converted, simd);
        return DecodeImage(in, layout, converted, rows);
    }
    ConvertFilter convert{*conversion, simd};
    FilteredRows<Rows, ConvertFilter> converted(rows, convert);
    DecodeImage(in, layout, table, converted);
}

// Decodes as DecodeConverted does; true when the picture's alpha comes from a
// mask and is 0 in every pixel, which shows it opaque instead of invisible.
template <class Rows>
bool DecodeShown(ByteReader& in, const BmpLayout& layout, const PixelTable& table, Rows& rows,
                 const ColourTransform* conversion) {
    if (!layout.alphaFromMask) {
        DecodeConverted(in, layout, table, rows, conversion);
        return false;
    }
    AlphaFilter alpha;
    FilteredRows<Rows, AlphaFilter> watched(rows, alpha);
    DecodeConverted(in, layout, table, watched, conversion);
    return (alpha.seen >> 24) == 0;
}

}  // namespace

Outcome BmpCodec::LoadFrom(BmpReader& reader, ImageView host) {
    if (host.width == 0 || host.height == 0) return Reason::NoTarget;
    // The codec keeps the headers of the last file read, refused or not.
    if (reader.HeadersRead()) {
        fileHeader = reader.Headers().fileHeader;
        infoHeader = reader.Headers().infoHeader;
    }
    if (!reader.Verdict().Ok()) return reader.Verdict();
    palette = reader.Colours();
    const BmpLayout& layout = reader.Layout();
    const PixelTable table = MakePixelTable(palette);
    ByteReader& in = reader.Stream();
    bool alphaUnused = false;
    if (layout.width == host.width && layout.height == host.height) {
        ImageRows rows(host);
        alphaUnused = DecodeShown(in, layout, table, rows, reader.ColourConversion());
    } else {
        const std::uint64_t sourcePixels = std::uint64_t{layout.width} * layout.height;
        const std::uint64_t targetPixels = std::uint64_t{host.width} * host.height;
        if (sourcePixels > std::max({kAlwaysScaledPixels, kMaxPixelsPerFileByte * in.Length(), targetPixels}))
            return Reason::ScaledTooLarge;
        const auto working = RowResampler::WorkingBytes(layout.width, layout.height, host.width, host.height);
        if (!working || *working > kMaxResampleBytes || !AsSize(*working)) return Reason::ScaleMemory;
        // Limit: the working memory of scaled loads up to this size is kept between
        // loads, so the next one finds its pages already touched (fresh pages cost
        // more than the resampling); a larger one is given back when its load ends.
        constexpr std::uint64_t kKeptWorkspaceBytes = std::uint64_t{4} << 20;
        const auto need = static_cast<std::size_t>(*working) + 4096;  // and room for alignment
        std::vector<std::byte> oneOff;
        std::vector<std::byte>& space = *working <= kKeptWorkspaceBytes ? workspace : oneOff;
        if (space.size() < need) space.resize(need);
        const auto scale = [&](bool weighed) {
            std::pmr::monotonic_buffer_resource memory(space.data(), space.size(), std::pmr::new_delete_resource());
            // Rows reach the resampler in stored order: bottom row first unless the file is top-down.
            RowResampler resampler(layout.width, layout.height, host, !layout.topDown, BestSimd(), &memory);
            if (!weighed) return DecodeShown(in, layout, table, resampler, reader.ColourConversion());
            WeighFilter weigh;
            FilteredRows<RowResampler, WeighFilter> weighted(resampler, weigh);
            return DecodeShown(in, layout, table, weighted, reader.ColourConversion());
        };
        // Colours are averaged weighted by their alpha. A picture whose alpha
        // turns out to be 0 everywhere is shown opaque, so its colours are
        // scaled again as stored (once, and only for such files).
        const bool transparency = layout.alphaFromMask || layout.format == PixelFormat::Rgba64;
        alphaUnused = scale(transparency);
        if (transparency && alphaUnused && !in.Failed())
            scale(false);
        else if (transparency)
            Unweigh(host);
    }
    if (in.Failed()) return {Reason::ReadFailed, in.Error()};
    // Compat: a file that declares alpha and never uses it is not invisible (as browsers show it).
    if (alphaUnused)
        for (std::size_t y = 0; y < host.height; ++y)
            for (std::uint32_t& px : host.Row(y)) px |= kOpaque;
    return {};
}

}  // namespace tessaly
