// The description of a file; see describe.h.
#include "bmp/read/describe.h"

#include <algorithm>

#include "bmp/read/bmp_reader.h"
#include "bmp/read/decode.h"
#include "bmp/read/geometry.h"

namespace tessaly {
namespace {

// What an index past the colour table decodes to: alpha 0, which no entry's pixel has.
constexpr std::uint32_t kPastTable = 0x00ABCDEFu;

// A row target that keeps no pixel: it counts those past the table and notes whether any alpha is not 0.
class DamageRows {
public:
    DamageRows(std::size_t width, std::size_t height)
        : width_(width), height_(height), piece_(std::min<std::size_t>(width, 4096)) {}
    [[nodiscard]] std::size_t Width() const { return width_; }
    [[nodiscard]] std::size_t Height() const { return height_; }
    [[nodiscard]] std::span<std::uint32_t> Piece(std::size_t, std::size_t x) {
        return std::span<std::uint32_t>(piece_).first(std::min(piece_.size(), width_ - x));
    }
    void Commit(std::size_t, std::size_t, std::size_t n) {
        for (const std::uint32_t px : std::span<const std::uint32_t>(piece_).first(n)) Count(px, 1);
    }
    void Fill(std::size_t, std::size_t, std::size_t n, std::uint32_t px) { Count(px, n); }
    void FillRows(std::size_t, std::size_t count, std::uint32_t px) { Count(px, std::uint64_t{count} * width_); }

    std::uint64_t pastTable = 0;
    std::uint32_t seen = 0;

private:
    void Count(std::uint32_t px, std::uint64_t n) {
        pastTable += px == kPastTable ? n : 0;
        seen |= px;
    }
    std::size_t width_, height_;
    std::vector<std::uint32_t> piece_;
};

// Damage the headers and the file's length show, before any pixel is read.
void HeaderDamage(const BmpHeaders& h, const BmpLayout& l, std::vector<Damage>& out) {
    const std::uint64_t length = h.fileLength, bfOffBits = h.fileHeader.bfOffBits;
    if (const auto shortData = PixelDataShortOf(l, length)) out.push_back(*shortData);
    if (l.table.cutByPixels) out.push_back({DamageKind::TableCut, l.table.entries, l.table.declared});
    if (bfOffBits != l.pixelOffset && !l.table.cutByPixels)
        out.push_back({bfOffBits >= length ? DamageKind::OffsetOutsideFile : DamageKind::OffsetInHeaders, bfOffBits, l.pixelOffset});
    // Compat: OS/2 writers store the headers' size there (the suite's OS/2 files do).
    const bool os2HeaderSize = h.fileHeader.bfSize == kFileHeaderSize + h.headerSize;
    // A bfSize of 0 gives no size, as some writers leave it.
    if (h.infoOffset == kFileHeaderSize && h.fileHeader.bfSize != 0 && h.fileHeader.bfSize != length && !os2HeaderSize)
        out.push_back({DamageKind::FileSizeWrong, h.fileHeader.bfSize, length});
    // Fields no pixel depends on that show a careless writer: notes.
    const BITMAPINFOHEADER& info = h.infoHeader;
    if (info.biPlanes != 1) out.push_back({DamageKind::PlanesWrong, info.biPlanes});
    if (h.kind == HeaderKind::OtherWindows) out.push_back({DamageKind::HeaderSizeUnknown, h.headerSize});
    // Limit: 100 to 400000 pixels per metre (2.5 to 10160 dpi) is what scanners, screens and printers give; 0 is "unknown".
    const auto odd = [](std::int32_t v) { return v < 0 || (v != 0 && (v < 100 || v > 400000)); };
    if (!h.core && (odd(info.biXPelsPerMeter) || odd(info.biYPelsPerMeter)))
        out.push_back({DamageKind::ResolutionOdd, static_cast<std::uint32_t>(info.biXPelsPerMeter),
                       static_cast<std::uint32_t>(info.biYPelsPerMeter)});
}

// The bytes after the pixel data that no field accounts for: a profile after
// the pixels accounts for itself and the gap that aligns it.
std::uint64_t Unaccounted(const BmpHeaders& h, std::uint64_t from, std::uint64_t to) {
    const std::uint64_t profileAt = h.infoOffset + h.profileOffset, profileEnd = profileAt + h.profileSize;
    if (h.profileSize != 0 && profileAt >= from && profileEnd <= to) from = profileEnd;
    return from < to ? to - from : 0;
}

}  // namespace

std::optional<Damage> PixelDataShortOf(const BmpLayout& l, std::uint64_t fileLength) {
    if (l.kind != DecodeKind::Uncompressed) return std::nullopt;
    const std::uint64_t rowBytes = RowPixelBytes(l.width, l.bitCount);
    const std::uint64_t needed = l.stride * (l.height - 1) + rowBytes;
    const std::uint64_t present = fileLength > l.pixelOffset ? fileLength - l.pixelOffset : 0;
    if (present >= needed) return std::nullopt;
    return Damage{DamageKind::PixelDataShort, present, needed, present < rowBytes ? 0 : (present - rowBytes) / l.stride + 1};
}

bool IsDamaged(const BmpDescription& d) {
    return std::any_of(d.damage.begin(), d.damage.end(), [](const Damage& x) { return !IsNote(x.kind); });
}

BmpDescription Describe(BmpReader& reader, bool readPixels) {
    BmpDescription d;
    d.reason = reader.Verdict();
    d.systemError = reader.Verdict().systemError;
    d.headersRead = reader.HeadersRead();
    d.layoutKnown = reader.LayoutResolved();
    d.convertsColours = reader.ColourConversion() != nullptr;
    if (d.headersRead) d.headers = reader.Headers();
    if (d.layoutKnown) d.layout = reader.Layout();
    if (!readPixels || !d.reason.Ok()) return d;

    const BmpLayout& l = d.layout;
    const BmpHeaders& h = d.headers;
    HeaderDamage(h, l, d.damage);
    // The pixels, decoded into nothing: indices past the table decode to a mark.
    PixelTable table = MakePixelTable(reader.Colours());
    const bool indexed = l.bitCount <= 8 && l.kind != DecodeKind::Rle24;
    if (indexed) std::fill(table.begin() + l.table.entries, table.end(), kPastTable);
    DamageRows rows(l.width, l.height);
    StreamNotes notes;
    ByteReader& in = reader.Stream();
    DecodeImage(in, l, table, rows, &notes);
    if (in.Failed()) {
        d.reason = Outcome{Reason::ReadFailed, in.Error()};
        d.systemError = in.Error();
        return d;
    }
    if (notes.endedEarly) d.damage.push_back({DamageKind::StreamEndsEarly, notes.row, notes.offset});
    if (notes.pastImage) d.damage.push_back({DamageKind::DeltaPastImage, notes.row, notes.offset});
    if (indexed && rows.pastTable != 0) d.damage.push_back({DamageKind::IndexPastTable, rows.pastTable, l.table.entries});
    // Rows its codes do not fill exactly, where nothing more particular says why.
    if (notes.validRows < l.height && !notes.endedEarly && notes.runsCut == 0 && notes.rowsCutShort == 0)
        d.damage.push_back({DamageKind::RowsInvalid, notes.validRows, l.height});
    if (notes.runsCut != 0) d.damage.push_back({DamageKind::RunsCut, notes.runsCut});
    if (notes.deltasPastRow != 0) d.damage.push_back({DamageKind::DeltasPastRow, notes.deltasPastRow});
    if (notes.rowsCutShort != 0) d.damage.push_back({DamageKind::RowsCutShort, notes.rowsCutShort});
    if (notes.bitOrderUnsure) d.damage.push_back({DamageKind::BitOrderUnsure});
    // biSizeImage may be 0 for uncompressed pixels; else it is the pixel data's size (a stream's, up to its end).
    const std::uint64_t sizeImage = h.infoHeader.biSizeImage;
    // A Huffman stream has no end of bitmap: it runs to the end of the file.
    const std::uint64_t dataEnd = l.kind == DecodeKind::Uncompressed ? l.pixelOffset + l.stride * l.height
                                  : l.kind != DecodeKind::Huffman1d && !notes.endedEarly ? in.Offset()
                                                                                        : h.fileLength;
    const std::uint64_t dataSize = dataEnd - l.pixelOffset;
    const std::uint64_t available = h.fileLength > l.pixelOffset ? h.fileLength - l.pixelOffset : 0;
    if (sizeImage != 0 && h.kind != HeaderKind::Os2v1 && sizeImage != dataSize && sizeImage != available)
        d.damage.push_back({DamageKind::ImageSizeWrong, sizeImage, dataSize});
    if (const std::uint64_t after = Unaccounted(h, std::min(dataEnd, h.fileLength), h.fileLength); after != 0)
        d.damage.push_back({DamageKind::TrailingBytes, after, dataEnd});
    if (l.alphaFromMask && (rows.seen >> 24) == 0) d.damage.push_back({DamageKind::AlphaUnused});
    std::stable_sort(d.damage.begin(), d.damage.end(), [](const Damage& a, const Damage& b) { return a.kind < b.kind; });
    d.pixelsRead = true;
    return d;
}

}  // namespace tessaly
