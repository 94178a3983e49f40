// The BMP writer; see writer.h.
#include "bmp/write/writer.h"

#include "shell/bmp_codec.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

namespace tessaly {
namespace {

// Writes the plan's stored rows, bottom row first: row r (0 = top of the
// image) is produced by pack(r, x, count, dst) in pieces of the form's stored
// bytes per pixel, then padded with zeros to the stride.
template <class Pack>
bool WriteRowsBottomUp(BandWriter& out, const SavePlan& plan, Pack pack) {
    const auto rows = static_cast<std::size_t>(plan.height), width = static_cast<std::size_t>(plan.width);
    const std::size_t unitBytes = FormatRow(plan.format).storedBytes, stride = plan.stride;
    const std::size_t piece = std::max<std::size_t>(1, out.Capacity() / unitBytes);
    for (std::size_t r = rows; r-- > 0;) {
        for (std::size_t x = 0; x < width; x += piece) {
            const std::size_t count = std::min(piece, width - x);
            const auto dst = out.Reserve(count * unitBytes);
            if (!dst) return false;
            pack(r, x, count, *dst);
        }
        const std::size_t pad = stride - width * unitBytes;
        if (pad != 0) {
            const auto dst = out.Reserve(pad);
            if (!dst) return false;
            std::fill(dst->begin(), dst->end(), std::uint8_t{0});
        }
    }
    return true;
}

// Rows the host already holds as they are stored (32-bit rows; gray rows,
// with their pad) go to the sink as they lie, many rows a call: no copy.
// Only rows long enough that a call per so many rows costs nothing.
constexpr std::size_t kRowsAsTheyLieBytes = 4096;

bool WriteRowsAsTheyLie(BandWriter& out, const SavePlan& plan, const std::uint8_t* pixels, std::size_t rowBytes) {
    static constexpr std::uint8_t kPad[3] = {};
    const std::size_t pad = plan.stride - rowBytes;
    std::array<std::span<const std::uint8_t>, 256> pieces;
    std::size_t count = 0;
    for (std::size_t r = static_cast<std::size_t>(plan.height); r-- > 0;) {
        pieces[count++] = std::span(pixels + r * rowBytes, rowBytes);
        if (pad != 0) pieces[count++] = std::span(kPad, pad);
        if (count + 2 > pieces.size() || r == 0) {
            if (!out.PutPieces(std::span(pieces.data(), count))) return false;
            count = 0;
        }
    }
    return true;
}

// Writes the planned pixel data, bottom row first, through the one packer of the plan's form.
bool WritePixelData(BandWriter& out, const SavePlan& plan, const void* pixels, const PaletteIndexer& indexer) {
    const auto* src32 = static_cast<const std::uint32_t*>(pixels);
    const auto* src8 = static_cast<const std::uint8_t*>(pixels);
    const auto w = static_cast<std::size_t>(plan.width), h = static_cast<std::size_t>(plan.height);
    switch (plan.format) {
    case SaveFormat::Bgra32:
    case SaveFormat::Bgra32Alpha:
        if (4 * w >= kRowsAsTheyLieBytes)
            return WriteRowsAsTheyLie(out, plan, static_cast<const std::uint8_t*>(pixels), 4 * w);
        return WriteRowsBottomUp(out, plan, [&](std::size_t r, std::size_t x, std::size_t n, auto dst) {
            std::memcpy(dst.data(), src32 + r * w + x, 4 * n);
        });
    case SaveFormat::Bgr24: {
        const PackRowFn pack = kPackRowBgr24.Best();
        return WriteRowsBottomUp(out, plan, [&](std::size_t r, std::size_t x, std::size_t n, auto dst) {
            pack({src32 + r * w + x, n}, dst);
        });
    }
    case SaveFormat::Indexed8:
        return WriteRowsBottomUp(out, plan, [&](std::size_t r, std::size_t x, std::size_t n, auto dst) {
            indexer.IndexRow({src32 + r * w + x, n}, dst);
        });
    case SaveFormat::Gray8:
        if (w >= kRowsAsTheyLieBytes) return WriteRowsAsTheyLie(out, plan, src8, w);
        return WriteRowsBottomUp(out, plan, [&](std::size_t r, std::size_t x, std::size_t n, auto dst) {
            std::memcpy(dst.data(), src8 + r * w + x, n);
        });
    case SaveFormat::Rle8: {
        // Lines from the bottom row up, each encoded straight into the band
        // (or, for a line too long to fit it, into a buffer of its own).
        if (MaxRle8LineBytes(w) > out.Capacity())
            return EncodeIndexedRle8({src32, plan.pixels}, w, h, indexer,
                                     [&](std::span<const std::uint8_t> items) { return out.Put(items); });
        Rle8Rows rows(w);
        for (std::size_t r = h; r-- > 0;) {
            const auto room = out.Space(MaxRle8LineBytes(w));
            if (!room) return false;
            out.Used(indexer.EncodeRowRle8({src32 + r * w, w}, rows, room->data()));
        }
        return true;
    }
    }
    return false;
}

}  // namespace

Outcome PrepareSave(const SaveRequest& request, PreparedSave& out) {
    auto plan = PlanSave(request.format, request.width, request.height);
    if (!plan) return request.width < 1 || request.height < 1 ? Reason::SaveSize : Reason::SaveTooLarge;
    const SaveFormatRow& row = FormatRow(request.format);
    const std::span<const std::uint32_t> src32(static_cast<const std::uint32_t*>(request.pixels), plan->pixels);
    // A 32-bit picture with transparency is written so that readers keep it.
    if (request.format == SaveFormat::Bgra32 && kCarriesTransparency.Best()(src32)) {
        plan = PlanSave(SaveFormat::Bgra32Alpha, request.width, request.height);
        if (!plan) return Reason::SaveTooLarge;
    }
    PaletteIndexer indexer;
    if (request.format == SaveFormat::Rle8) {
        // The stream's length is part of the plan, measured while the palette
        // is learnt, so the file's size is known (and checked against every
        // limit) before it exists.
        const std::uint64_t streamBytes = indexer.LearnMeasuringRle8(src32, static_cast<std::size_t>(plan->width),
                                                                     static_cast<std::size_t>(plan->height));
        plan = PlanSave(request.format, request.width, request.height, streamBytes);
        if (!plan) return Reason::SaveTooLarge;
    } else if (row.table == TableSource::Learned) {
        indexer.Learn(src32);
    }
    out.plan = *plan;
    out.indexer = indexer;
    out.pixels = request.pixels;
    return {};
}

Outcome WriteSave(const PreparedSave& save, const ByteSink& sink, std::span<std::uint8_t> band) {
    const TableSource table = FormatRow(save.plan.format).table;
    BandWriter out(sink, band);
    const bool written = out.Put(PackHeaders(save.plan).Bytes()) &&
                         (table != TableSource::Learned || out.Put(save.indexer.Palette())) &&
                         (table != TableSource::GrayRamp || out.Put(GrayRampPalette())) &&
                         WritePixelData(out, save.plan, save.pixels, save.indexer) && out.Finish();
    return written ? Outcome{} : Outcome{Reason::WriteFailed};
}

Outcome BmpCodec::SaveTo(const ByteSink& sink, const SaveRequest& request) {
    PreparedSave save;
    if (const Outcome planned = PrepareSave(request, save); !planned.Ok()) return planned;
    return WriteSave(save, sink, scratch);
}

}  // namespace tessaly
