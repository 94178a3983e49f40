// Header reading and layout resolution; see header.h.
#include "bmp/read/header.h"

#include <algorithm>
#include <bit>

#include "bmp/read/geometry.h"

namespace tessaly {
namespace {

// How many bytes of an info header of declared size `biSize` are read.
// Unknown sizes below 40 other than the OS/2 ones are read as 40 bytes, as stored.
std::size_t HeaderBytesToRead(std::uint32_t biSize) {
    if (biSize == kCoreHeaderSize) return kCoreHeaderSize;
    if (biSize >= 16 && biSize < kInfoHeaderSize) return biSize;
    if (biSize >= kInfoHeaderSize) return std::min<std::size_t>(biSize, kV5HeaderSize);
    return kInfoHeaderSize;
}

bool IsOs2HeaderSize(std::uint32_t biSize) {
    return biSize == kCoreHeaderSize || (biSize >= 16 && biSize < kInfoHeaderSize) ||
           biSize == kOs2V2HeaderSize;
}

bool IsContiguous(std::uint32_t mask) {
    if (mask == 0) return true;
    const std::uint32_t shifted = mask >> std::countr_zero(mask);
    return (shifted & (shifted + 1)) == 0;
}

}  // namespace

std::optional<BmpHeaders> ReadBmpHeaders(StreamReader& in) {
    const auto file = in.Take(kFileHeaderSize);
    if (!file) return std::nullopt;
    BmpHeaders h;
    h.fileHeader = ParseFileHeader(file->first<kFileHeaderSize>());
    if (h.fileHeader.bfType != kBmpMagic) return std::nullopt;

    const auto sizeField = in.Take(4);
    if (!sizeField) return std::nullopt;
    h.headerSize = LoadLe32Unchecked(sizeField->data());
    const std::size_t toRead = HeaderBytesToRead(h.headerSize);
    const auto rest = in.Take(toRead - 4);
    if (!rest) return std::nullopt;

    std::uint8_t info[kV5HeaderSize] = {};
    StoreLe32(info, h.headerSize);
    std::copy(rest->begin(), rest->end(), info + 4);
    h.core = h.headerSize == kCoreHeaderSize;
    h.os2 = IsOs2HeaderSize(h.headerSize);
    if (h.core) {
        h.infoHeader.biSize = h.headerSize;
        h.infoHeader.biWidth = LoadLe16Unchecked(info + 4);
        h.infoHeader.biHeight = LoadLe16Unchecked(info + 6);
        h.infoHeader.biPlanes = LoadLe16Unchecked(info + 8);
        h.infoHeader.biBitCount = LoadLe16Unchecked(info + 10);
    } else {
        h.infoHeader = ParseInfoHeader(std::span<const std::uint8_t, kInfoHeaderSize>(info, kInfoHeaderSize));
    }
    if (toRead >= 52 && !h.os2) {
        h.headerMasks.red = LoadLe32Unchecked(info + 40);
        h.headerMasks.green = LoadLe32Unchecked(info + 44);
        h.headerMasks.blue = LoadLe32Unchecked(info + 48);
        if (toRead >= 56) h.headerMasks.alpha = LoadLe32Unchecked(info + 52);
    }
    if (toRead >= kV5HeaderSize) {
        h.colourSpace = LoadLe32Unchecked(info + 56);
        h.profileOffset = LoadLe32Unchecked(info + 112);
        h.profileSize = LoadLe32Unchecked(info + 116);
    }
    if (h.headerSize > kV5HeaderSize) in.SkipTo(kFileHeaderSize + std::uint64_t{h.headerSize});
    return h;
}

ChannelMasks ReadTrailingMasks(StreamReader& in, const BmpHeaders& headers, std::uint32_t* maskBytes) {
    *maskBytes = 0;
    const std::uint32_t compression = headers.infoHeader.biCompression;
    const bool bitfields = !headers.os2 && (compression == BI_BITFIELDS || compression == BI_ALPHABITFIELDS);
    // Headers of 52 bytes or more hold their masks themselves; only a 40-byte header is followed by them.
    if (!bitfields || headers.headerSize >= 52) return headers.headerMasks;
    const std::uint32_t count = compression == BI_ALPHABITFIELDS ? 16 : 12;
    const auto bytes = in.Take(count);
    if (!bytes) return {};
    *maskBytes = count;
    ChannelMasks m;
    m.red = LoadLe32Unchecked(bytes->data());
    m.green = LoadLe32Unchecked(bytes->data() + 4);
    m.blue = LoadLe32Unchecked(bytes->data() + 8);
    if (count == 16) m.alpha = LoadLe32Unchecked(bytes->data() + 12);
    return m;
}

bool MasksAreValid(const ChannelMasks& m, std::uint32_t bitsPerPixel) {
    const std::uint32_t masks[] = {m.red, m.green, m.blue, m.alpha};
    const std::uint64_t pixelBits = bitsPerPixel >= 32 ? 0xFFFFFFFFull : (1ull << bitsPerPixel) - 1;
    std::uint32_t seen = 0;
    for (const std::uint32_t mask : masks) {
        if ((mask & ~pixelBits) != 0 || !IsContiguous(mask) || (mask & seen) != 0) return false;
        seen |= mask;
    }
    return (m.red | m.green | m.blue) != 0;
}

ColourTable ColourTableOf(const BmpHeaders& headers, std::uint32_t maskBytes, std::uint32_t bitCount) {
    ColourTable t;
    t.entrySize = headers.core ? 3 : 4;
    t.offset = kFileHeaderSize + std::uint64_t{headers.headerSize} + maskBytes;
    t.end = t.offset;
    if (bitCount == 0 || bitCount > 8) return t;  // direct-colour pixels use no table
    std::uint64_t declared = headers.infoHeader.biClrUsed != 0 ? headers.infoHeader.biClrUsed : (1ull << bitCount);
    // A core header has no colour count: the gap up to the pixels tells how many entries are stored.
    const std::uint32_t bfOffBits = headers.fileHeader.bfOffBits;
    if (headers.core && bfOffBits > t.offset) declared = std::min<std::uint64_t>(declared, (bfOffBits - t.offset) / 3);
    // Limit: the table holds 256 entries; entries declared beyond them are skipped.
    t.entries = static_cast<std::uint32_t>(std::min<std::uint64_t>(declared, 256));
    t.end = t.offset + declared * t.entrySize;
    return t;
}

std::optional<BmpLayout> ResolveLayout(const BmpHeaders& headers, ChannelMasks masks,
                                       std::uint32_t maskBytes, std::uint64_t fileLength) {
    const BITMAPINFOHEADER& info = headers.infoHeader;
    BmpLayout out;
    // The whole info header must lie inside the file, however long it says it is.
    if (kFileHeaderSize + std::uint64_t{headers.headerSize} > fileLength) return std::nullopt;
    // A positive width and a nonzero height are needed for any pixel; a
    // negative width (with either sign of height) cannot be decoded.
    if (info.biWidth <= 0 || info.biHeight == 0) return std::nullopt;
    out.width = static_cast<std::uint32_t>(info.biWidth);
    out.height = Magnitude(info.biHeight);
    out.topDown = info.biHeight < 0;
    out.bitCount = info.biBitCount;
    if (!PixelBufferBytes(out.width, out.height)) return std::nullopt;

    std::uint32_t compression = info.biCompression;
    if (headers.os2 && compression == BI_BITFIELDS) return std::nullopt;  // Huffman 1-D is not supported
    const bool rle24 = headers.os2 && compression == BI_JPEG;
    if (compression == BI_ALPHABITFIELDS) compression = BI_BITFIELDS;

    bool indexed = false;
    switch (out.bitCount) {
    case 1:
    case 2:
    case 4:
    case 8:
        indexed = true;
        out.format = out.bitCount == 1   ? PixelFormat::Indexed1
                     : out.bitCount == 2 ? PixelFormat::Indexed2
                     : out.bitCount == 4 ? PixelFormat::Indexed4
                                         : PixelFormat::Indexed8;
        break;
    case 16:
        out.format = PixelFormat::Masked16;
        break;
    case 24:
        out.format = PixelFormat::Bgr24;
        break;
    case 32:
        out.format = PixelFormat::Bgrx32;
        break;
    default:
        return std::nullopt;
    }

    if (rle24) {
        if (out.bitCount != 24) return std::nullopt;
        out.kind = DecodeKind::Rle24;
    } else if (compression == BI_RLE8 || compression == BI_RLE4) {
        const unsigned rleBits = compression == BI_RLE8 ? 8 : 4;
        // Compat: 1- and 24-bit files marked RLE are stored uncompressed.
        if (out.bitCount == rleBits) {
            out.kind = compression == BI_RLE8 ? DecodeKind::Rle8 : DecodeKind::Rle4;
        } else if (out.bitCount != 1 && out.bitCount != 24) {
            return std::nullopt;
        }
    } else if (compression == BI_BITFIELDS) {
        if (out.bitCount == 16 || out.bitCount == 32) {
            if (!MasksAreValid(masks, out.bitCount)) return std::nullopt;
            out.masks = masks;
            out.format = out.bitCount == 16 ? PixelFormat::Masked16 : PixelFormat::Masked32;
        }
        // Compat: other depths marked BI_BITFIELDS are read as uncompressed.
    } else if (compression != BI_RGB) {
        return std::nullopt;  // JPEG, PNG and unknown compressions
    }
    if (out.format == PixelFormat::Masked16 && compression != BI_BITFIELDS) {
        out.masks = {0x7C00, 0x03E0, 0x001F, 0};  // the default 5-5-5
    }
    // Limit: RLE streams are stored bottom-up; a top-down RLE file is invalid.
    if (out.topDown && out.kind != DecodeKind::Uncompressed) return std::nullopt;

    const ColourTable table = ColourTableOf(headers, maskBytes, indexed ? out.bitCount : 0);
    out.paletteOffset = table.offset;
    out.paletteEntries = table.entries;
    out.paletteEntrySize = table.entrySize;
    const std::uint64_t tableEnd = table.end;
    if (table.offset + std::uint64_t{table.entries} * table.entrySize > fileLength)
        return std::nullopt;  // a colour table cut short
    const std::uint64_t bfOffBits = headers.fileHeader.bfOffBits;
    out.pixelOffset = (bfOffBits >= tableEnd && bfOffBits < fileLength) ? bfOffBits : tableEnd;

    if (out.kind == DecodeKind::Uncompressed) {
        out.stride = RowStride(out.width, out.bitCount);
        const std::uint64_t available = out.pixelOffset < fileLength ? fileLength - out.pixelOffset : 0;
        // Compat: short 8-bit data needs at least one byte; short 16-, 24- and
        // 32-bit data decode as if the missing bytes were zero. 1-, 2- and
        // 4-bit data must be complete.
        if (out.bitCount < 8 && available / out.stride < out.height) return std::nullopt;
        if (out.bitCount == 8 && available == 0) return std::nullopt;
    }
    return out;
}

}  // namespace tessaly
