// The BMP writer: 8-bit gray, 8-bit indexed (uncompressed or RLE8), 24- and
// 32-bit files. A save plans the file first (its form and every size, the
// RLE8 stream's length included), then hands the file service the exact size,
// writes the headers and the rows (packed a band at a time into one reused
// buffer) and commits. The file service decides how the destination is
// replaced; see file.h.
#include <algorithm>
#include <cstring>
#include <optional>

#include "bmp/write/encode.h"
#include "shell/bmp_codec.h"
#include "shell/file.h"

namespace tessaly {
namespace {

// Collects bytes in a fixed buffer and writes them in large pieces.
class BandWriter {
public:
    BandWriter(ReplacingFile& file, std::span<std::uint8_t> buffer) : file_(file), buffer_(buffer) {}

    // Room for n bytes (n <= capacity) at the end of the band, flushing it first when full.
    [[nodiscard]] std::optional<std::span<std::uint8_t>> Reserve(std::size_t n) {
        if (buffer_.size() - used_ < n && !Flush()) return std::nullopt;
        auto out = buffer_.subspan(used_, n);
        used_ += n;
        return out;
    }
    [[nodiscard]] bool Put(std::span<const std::uint8_t> bytes) {
        while (!bytes.empty()) {
            const std::size_t n = std::min(bytes.size(), buffer_.size());
            const auto room = Reserve(n);
            if (!room) return false;
            std::memcpy(room->data(), bytes.data(), n);
            bytes = bytes.subspan(n);
        }
        return true;
    }
    // Room for up to n bytes (n <= capacity) at the end of the band, flushing it first when
    // short; the caller writes some of it and says how many with Used.
    [[nodiscard]] std::optional<std::span<std::uint8_t>> Space(std::size_t n) {
        if (buffer_.size() - used_ < n && !Flush()) return std::nullopt;
        return buffer_.subspan(used_, n);
    }
    void Used(std::size_t k) { used_ += k; }
    [[nodiscard]] bool Flush() {
        const bool ok = used_ == 0 || file_.Write(buffer_.first(used_));
        used_ = 0;
        return ok;
    }
    [[nodiscard]] std::size_t Capacity() const { return buffer_.size(); }

private:
    ReplacingFile& file_;
    std::span<std::uint8_t> buffer_;
    std::size_t used_ = 0;
};

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

// Writes the planned pixel data, bottom row first, through the one packer of the plan's form.
bool WritePixelData(BandWriter& out, const SavePlan& plan, const void* pixels, const PaletteIndexer& indexer,
                    Simd simd) {
    const auto* src32 = static_cast<const std::uint32_t*>(pixels);
    const auto* src8 = static_cast<const std::uint8_t*>(pixels);
    const auto w = static_cast<std::size_t>(plan.width), h = static_cast<std::size_t>(plan.height);
    switch (plan.format) {
    case SaveFormat::Bgra32:
        return WriteRowsBottomUp(out, plan, [&](std::size_t r, std::size_t x, std::size_t n, auto dst) {
            std::memcpy(dst.data(), src32 + r * w + x, 4 * n);
        });
    case SaveFormat::Bgr24:
        return WriteRowsBottomUp(out, plan, [&](std::size_t r, std::size_t x, std::size_t n, auto dst) {
            PackRowBgr24({src32 + r * w + x, n}, dst, simd);
        });
    case SaveFormat::Indexed8:
        return WriteRowsBottomUp(out, plan, [&](std::size_t r, std::size_t x, std::size_t n, auto dst) {
            indexer.IndexRow({src32 + r * w + x, n}, dst, simd);
        });
    case SaveFormat::Gray8:
        return WriteRowsBottomUp(out, plan, [&](std::size_t r, std::size_t x, std::size_t n, auto dst) {
            std::memcpy(dst.data(), src8 + r * w + x, n);
        });
    case SaveFormat::Rle8: {
        // Lines from the bottom row up, each encoded straight into the band
        // (or, for a line too long to fit it, into a buffer of its own).
        if (MaxRle8LineBytes(w) > out.Capacity())
            return EncodeIndexedRle8({src32, plan.pixels}, w, h, indexer,
                                     [&](std::span<const std::uint8_t> items) { return out.Put(items); }, simd);
        std::vector<std::uint8_t> line(w);
        for (std::size_t r = h; r-- > 0;) {
            indexer.IndexRow({src32 + r * w, w}, line, simd);
            const auto room = out.Space(MaxRle8LineBytes(w));
            if (!room) return false;
            out.Used(EncodeRle8Line(line, room->data()));
        }
        return true;
    }
    }
    return false;
}

}  // namespace

int BmpCodec::SaveBmp(const char* path, ImageInfo info, const void* pixels) {
    // Plan first: every refusal comes before the file system is touched.
    const auto format = ChooseSaveFormat(info.gray == 1, info.bitCount, info.compression);
    if (!format) return 0;
    auto plan = PlanSave(*format, info.width, info.height);
    if (!plan) return 0;
    const SaveFormatRow& row = FormatRow(*format);
    const auto* src32 = static_cast<const std::uint32_t*>(pixels);
    const Simd simd = BestSimd();
    PaletteIndexer indexer;  // the palette of a save from 32-bit pixels to 8 bits
    if (*format == SaveFormat::Rle8) {
        // The stream's length is part of the plan, measured while the palette
        // is learnt, so the file's size is known (and checked against every
        // limit) before it exists.
        const std::uint64_t streamBytes = indexer.LearnMeasuringRle8(
            {src32, plan->pixels}, static_cast<std::size_t>(plan->width), static_cast<std::size_t>(plan->height), simd);
        plan = PlanSave(*format, info.width, info.height, streamBytes);
        if (!plan) return 0;
    } else if (row.table == TableSource::Learned) {
        indexer.Learn({src32, plan->pixels}, simd);
    }

    ReplacingFile file;
    if (!file.Begin(path, plan->fileSize)) return 0;
    BandWriter out(file, scratch);
    if (!out.Put(PackHeaders(*plan))) return 0;
    if (row.table == TableSource::Learned && !out.Put(indexer.Palette())) return 0;
    if (row.table == TableSource::GrayRamp && !out.Put(GrayRampPalette())) return 0;
    return WritePixelData(out, *plan, pixels, indexer, simd) && out.Flush() && file.Commit() ? 1 : 0;
}

int BmpCodec::SaveGrayBmp(const char* path, const void* pixels, std::int32_t width, std::int32_t height) {
    ImageInfo info;
    info.width = width;
    info.height = height;
    info.bitCount = 8;
    info.gray = 1;
    return SaveBmp(path, info, pixels) != 0 ? 1 : 0;
}

}  // namespace tessaly
