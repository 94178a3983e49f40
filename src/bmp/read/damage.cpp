// Names and texts of the damage a reader forgives; see damage.h.
#include "bmp/read/damage.h"

#include "bmp/read/header.h"

namespace tessaly {

const char* DamageName(DamageKind kind) {
    switch (kind) {
    case DamageKind::PixelDataShort: return "pixelDataShort";
    case DamageKind::StreamEndsEarly: return "streamEndsEarly";
    case DamageKind::DeltaPastImage: return "deltaPastImage";
    case DamageKind::IndexPastTable: return "indexPastTable";
    case DamageKind::TableCut: return "tableCut";
    case DamageKind::RowsInvalid: return "rowsInvalid";
    case DamageKind::RunsCut: return "runsCut";
    case DamageKind::DeltasPastRow: return "deltasPastRow";
    case DamageKind::RowsCutShort: return "rowsCutShort";
    case DamageKind::OffsetOutsideFile: return "offsetOutsideFile";
    case DamageKind::OffsetInHeaders: return "offsetInHeaders";
    case DamageKind::FileSizeWrong: return "fileSizeWrong";
    case DamageKind::ImageSizeWrong: return "imageSizeWrong";
    case DamageKind::TrailingBytes: return "trailingBytes";
    case DamageKind::AlphaUnused: return "alphaUnused";
    case DamageKind::PlanesWrong: return "planesWrong";
    case DamageKind::HeaderSizeUnknown: return "headerSizeUnknown";
    case DamageKind::ResolutionOdd: return "resolutionOdd";
    case DamageKind::BitOrderUnsure: return "bitOrderUnsure";
    }
    return "damage";
}

std::string DamageText(const Damage& x, const BmpLayout& l) {
    const auto n = [](std::uint64_t v) { return std::to_string(v); };
    const bool indexed = l.bitCount <= 8 && l.kind != DecodeKind::Rle24;
    const bool alpha = l.alphaFromMask || l.format == PixelFormat::Rgba64;  // missing bytes give alpha 0
    // The rows decoding never reached: the ones after it in the file's order.
    const std::string rest = std::string(l.topDown ? "rows below" : "rows above") +
                             (indexed ? " show colour 0"
                              : alpha ? " show black, transparent unless no pixel has alpha"
                                      : " show black");
    const std::string stream = l.kind == DecodeKind::Huffman1d ? "Huffman stream" : "RLE stream";
    const std::string where = "row " + n(x.a + 1) + " of " + n(l.height) + " (byte " + n(x.b) + ")";
    switch (x.kind) {
    case DamageKind::PixelDataShort:
        return "pixel data ends at row " + n(x.c + 1) + " of " + n(l.height) + ", " + n(x.a) + " of " + n(x.b) +
               " bytes (" + rest + ")";
    case DamageKind::StreamEndsEarly: return stream + " ends at " + where + " (" + rest + ")";
    case DamageKind::DeltaPastImage: return "RLE delta past the image's end at " + where + " (" + rest + ")";
    case DamageKind::IndexPastTable:
        return n(x.a) + " pixels use colours past the table's " + n(x.b) + " entries (shown black)";
    case DamageKind::TableCut: return "colour table cut short by the pixel offset: " + n(x.a) + " of " + n(x.b) + " entries";
    case DamageKind::RunsCut:
        return n(x.a) + (x.a == 1 ? " run passes the end of its row" : " runs pass the end of their row") + " (cut there)";
    case DamageKind::DeltasPastRow:
        return n(x.a) + (x.a == 1 ? " delta moves past the end of its row" : " deltas move past the end of their row") +
               " (the row's later pixels dropped)";
    case DamageKind::RowsInvalid:
        return "Huffman stream codes " + n(x.a) + " of " + n(x.b) + " rows validly (the rest as far as its codes go)";
    case DamageKind::RowsCutShort:
        return n(x.a) + (x.a == 1 ? " row ends before its last pixel" : " rows end before their last pixel") +
               " (the rest shows colour 0)";
    case DamageKind::OffsetOutsideFile: return "pixel offset " + n(x.a) + " lies past the file's end (pixels read from " + n(x.b) + ")";
    case DamageKind::OffsetInHeaders: return "pixel offset " + n(x.a) + " lies inside the headers (pixels read from " + n(x.b) + ")";
    case DamageKind::FileSizeWrong: return "bfSize says " + n(x.a) + " bytes, the file holds " + n(x.b);
    case DamageKind::ImageSizeWrong: return "biSizeImage says " + n(x.a) + " bytes, the pixel data holds " + n(x.b);
    case DamageKind::TrailingBytes: return n(x.a) + " bytes after the pixel data that no field accounts for";
    case DamageKind::AlphaUnused: return "alpha mask unused: shown opaque";
    case DamageKind::PlanesWrong: return "biPlanes is " + n(x.a) + ", not 1";
    case DamageKind::HeaderSizeUnknown: return "info header of " + n(x.a) + " bytes, a size no BMP version has";
    case DamageKind::ResolutionOdd:
        return "resolution " + std::to_string(static_cast<std::int32_t>(x.a)) + " x " +
               std::to_string(static_cast<std::int32_t>(x.b)) + " pixels per metre is implausible";
    case DamageKind::BitOrderUnsure: return "Huffman stream read low bit first, though high bit first is not ruled out";
    }
    return "damage";
}

}  // namespace tessaly
