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

HeaderKind KindOf(std::uint32_t biSize) {
    switch (biSize) {
    case kCoreHeaderSize: return HeaderKind::Os2v1;
    case kOs2V2HeaderSize: return HeaderKind::Os2v2;
    case kInfoHeaderSize: return HeaderKind::Windows3;
    case 52: return HeaderKind::V2;
    case 56: return HeaderKind::V3;
    case 108: return HeaderKind::V4;
    case kV5HeaderSize: return HeaderKind::V5;
    default: return biSize >= 16 && biSize < kInfoHeaderSize ? HeaderKind::Os2v2 : HeaderKind::OtherWindows;
    }
}

bool IsContiguous(std::uint32_t mask) {
    if (mask == 0) return true;
    const std::uint32_t shifted = mask >> std::countr_zero(mask);
    return (shifted & (shifted + 1)) == 0;
}

// The masks that apply to the pixels. A 40-byte header marked BI_BITFIELDS
// (12 bytes) or BI_ALPHABITFIELDS (16 bytes) is followed by them, at 16 and 32
// bits only; headers of 52 bytes or more hold them themselves.
ChannelMasks ReadMasks(ByteReader& in, const BmpHeaders& headers, std::uint32_t& maskBytes) {
    maskBytes = 0;
    const std::uint32_t compression = headers.infoHeader.biCompression;
    const std::uint16_t bits = headers.infoHeader.biBitCount;
    const bool masked = !headers.os2 && (bits == 16 || bits == 32) &&
                        (compression == BI_BITFIELDS || compression == BI_ALPHABITFIELDS);
    if (!masked || headers.headerSize >= 52) return headers.headerMasks;
    const std::uint32_t count = compression == BI_ALPHABITFIELDS ? 16 : 12;
    const auto bytes = in.Take(count);
    if (!bytes) return {};
    maskBytes = count;
    ChannelMasks m;
    m.red = LoadLe32Unchecked(bytes->data());
    m.green = LoadLe32Unchecked(bytes->data() + 4);
    m.blue = LoadLe32Unchecked(bytes->data() + 8);
    if (count == 16) m.alpha = LoadLe32Unchecked(bytes->data() + 12);
    return m;
}

// Where the colour table of a file of `bitCount` bits lies: biClrUsed entries,
// or 2^bitCount when 0 (a core header's count comes from the gap before bfOffBits).
ColourTable TableOf(const BmpHeaders& headers, std::uint32_t maskBytes, std::uint32_t bitCount) {
    ColourTable t;
    t.entrySize = headers.core ? 3 : 4;
    t.offset = headers.infoOffset + headers.headerSize + maskBytes;
    t.end = t.offset;
    if (bitCount == 0 || bitCount > 8) return t;  // direct-colour pixels use no table
    std::uint64_t declared = headers.infoHeader.biClrUsed != 0 ? headers.infoHeader.biClrUsed : (1ull << bitCount);
    const std::uint32_t bfOffBits = headers.fileHeader.bfOffBits;
    if (headers.core && bfOffBits > t.offset) declared = std::min<std::uint64_t>(declared, (bfOffBits - t.offset) / 3);
    t.declared = declared;
    // Limit: the table holds 256 entries; entries declared beyond them are skipped.
    t.entries = static_cast<std::uint32_t>(std::min<std::uint64_t>(declared, 256));
    t.end = t.offset + declared * t.entrySize;
    return t;
}

// The compression rules: which decoder, or which refusal.
Outcome ResolveCompression(const BmpHeaders& headers, const ChannelMasks& masks, BmpLayout& out) {
    const std::uint32_t compression = headers.infoHeader.biCompression;
    const std::uint16_t bits = out.bitCount;
    if (headers.os2) {
        if (compression == BI_BITFIELDS) {  // OS/2 Huffman 1-D: two-colour pictures only
            if (bits != 1) return Reason::CompressionDepth;
            out.kind = DecodeKind::Huffman1d;
            return Reason::None;
        }
        if (compression == BI_JPEG) {  // OS/2 RLE24
            if (bits != 24) return Reason::CompressionDepth;
            out.kind = DecodeKind::Rle24;
            return Reason::None;
        }
        if (compression > BI_JPEG) return Reason::Compression;
    }
    switch (compression) {
    case BI_RGB:
        return Reason::None;
    case BI_RLE8:
    case BI_RLE4:
        if (bits == (compression == BI_RLE8 ? 8 : 4)) {
            out.kind = compression == BI_RLE8 ? DecodeKind::Rle8 : DecodeKind::Rle4;
            return Reason::None;
        }
        // Compat: 1- and 24-bit files marked RLE are stored uncompressed.
        return bits == 1 || bits == 24 ? Reason::None : Reason::CompressionDepth;
    case BI_BITFIELDS:
    case BI_ALPHABITFIELDS:
        if (bits == 16 || bits == 32) {
            if (!MasksAreValid(masks, bits)) return Reason::Masks;
            out.masks = masks;
            out.format = bits == 16 ? PixelFormat::Masked16 : PixelFormat::Masked32;
            return Reason::None;
        }
        // Compat: other depths marked BI_BITFIELDS have no masks and are read as uncompressed.
        return compression == BI_BITFIELDS ? Reason::None : Reason::CompressionDepth;
    case BI_JPEG:
        return Reason::Jpeg;
    case BI_PNG:
        return Reason::Png;
    default:
        return Reason::Compression;
    }
}

Outcome ResolveLayout(const BmpHeaders& headers, const ChannelMasks& masks, std::uint32_t maskBytes,
                      BmpLayout& layout) {
    const BITMAPINFOHEADER& info = headers.infoHeader;
    const std::uint64_t fileLength = headers.fileLength;
    BmpLayout out;
    // The whole info header must lie inside the file, however long it says it is.
    if (headers.infoOffset + headers.headerSize > fileLength) return Reason::HeaderCut;
    // A positive width and a nonzero height are needed for any pixel; a
    // negative width (with either sign of height) cannot be decoded.
    if (info.biWidth <= 0 || info.biHeight == 0) return Reason::NoPixels;
    out.width = static_cast<std::uint32_t>(info.biWidth);
    out.height = Magnitude(info.biHeight);
    out.topDown = info.biHeight < 0;
    out.bitCount = info.biBitCount;
    out.compression = info.biCompression;
    out.maskBytes = maskBytes;

    switch (out.bitCount) {
    case 1: out.format = PixelFormat::Indexed1; break;
    case 2: out.format = PixelFormat::Indexed2; break;
    case 4: out.format = PixelFormat::Indexed4; break;
    case 8: out.format = PixelFormat::Indexed8; break;
    case 16: out.format = PixelFormat::Masked16; break;
    case 24: out.format = PixelFormat::Bgr24; break;
    case 32: out.format = PixelFormat::Bgrx32; break;
    case 64: out.format = PixelFormat::Rgba64; break;
    default:
        // A stream the decoders do not read says so before the bit count does.
        if (!headers.os2 && (info.biCompression == BI_JPEG || info.biCompression == BI_PNG))
            return info.biCompression == BI_JPEG ? Reason::Jpeg : Reason::Png;
        return Reason::BitCount;
    }
    if (const Outcome r = ResolveCompression(headers, masks, out); r != Reason::None) return r;
    if (!PixelBufferBytes(out.width, out.height)) return Reason::TooLarge;
    if (out.format == PixelFormat::Masked16 && out.masks.red == 0 && out.masks.green == 0 && out.masks.blue == 0)
        out.masks = {0x7C00, 0x03E0, 0x001F, 0};  // the default 5-5-5
    // Compat: a header of 56 bytes or more that gives an alpha mask gives the
    // alpha of BI_RGB pixels too (the colour masks stay the defaults), as
    // browsers and clipboard writers have it. An alpha mask the default
    // colours cannot take beside them is ignored: the file stays opaque.
    if (info.biCompression == BI_RGB && !headers.os2 && headers.headerSize >= 56 && headers.headerMasks.alpha != 0 &&
        (out.bitCount == 16 || out.bitCount == 32)) {
        const ChannelMasks withAlpha = out.bitCount == 16
            ? ChannelMasks{0x7C00, 0x03E0, 0x001F, headers.headerMasks.alpha}
            : ChannelMasks{0x00FF0000, 0x0000FF00, 0x000000FF, headers.headerMasks.alpha};
        if (MasksAreValid(withAlpha, out.bitCount)) {
            out.masks = withAlpha;
            out.format = out.bitCount == 16 ? PixelFormat::Masked16 : PixelFormat::Masked32;
        }
    }
    out.alphaFromMask = (out.format == PixelFormat::Masked16 || out.format == PixelFormat::Masked32) && out.masks.alpha != 0;
    // Limit: RLE and Huffman streams are stored bottom-up; a top-down one is invalid.
    if (out.topDown && out.kind != DecodeKind::Uncompressed) return Reason::TopDownRle;

    out.table = TableOf(headers, maskBytes, out.bitCount <= 8 ? out.bitCount : 0);
    const ColourTable& table = out.table;
    const std::uint64_t bfOffBits = headers.fileHeader.bfOffBits;
    // Compat: pixels that start inside the declared table end it there; its
    // entries are those it holds (the rest are black, as for any table a file
    // does not supply). An offset before the table or outside the file is ignored.
    if (bfOffBits >= out.table.offset && bfOffBits < out.table.end && bfOffBits < fileLength) {
        out.table.entries = std::min(out.table.entries, static_cast<std::uint32_t>((bfOffBits - out.table.offset) / out.table.entrySize));
        out.table.end = bfOffBits;
        out.table.cutByPixels = true;
    }
    if (table.offset + std::uint64_t{table.entries} * table.entrySize > fileLength) return Reason::TableCut;
    out.pixelOffset = (bfOffBits >= table.end && bfOffBits < fileLength) ? bfOffBits : table.end;

    if (out.kind == DecodeKind::Uncompressed) {
        out.stride = RowStride(out.width, out.bitCount);
        const std::uint64_t available = out.pixelOffset < fileLength ? fileLength - out.pixelOffset : 0;
        // Compat: short 8-bit data needs at least one byte; short 16-, 24- and
        // 32-bit data decode as if the missing bytes were zero. 1-, 2- and
        // 4-bit data must be complete.
        if (out.bitCount < 8 && available / out.stride < out.height) return Reason::PixelsCut;
        if (out.bitCount == 8 && available == 0) return Reason::PixelsMissing;
    }
    layout = out;
    return Reason::None;
}

}  // namespace

const char* HeaderKindName(HeaderKind kind) {
    switch (kind) {
    case HeaderKind::Os2v1: return "OS/2 1.x";
    case HeaderKind::Os2v2: return "OS/2 2.x";
    case HeaderKind::Windows3: return "Windows 3.x";
    case HeaderKind::V2: return "V2";
    case HeaderKind::V3: return "V3";
    case HeaderKind::V4: return "V4";
    case HeaderKind::V5: return "V5";
    case HeaderKind::OtherWindows: return "Windows";
    }
    return "Windows";
}

Outcome ReadBmpHeaders(ByteReader& in, BmpHeaders& h) {
    h = BmpHeaders{};
    h.fileLength = in.Length();
    auto file = in.Take(kFileHeaderSize);
    if (!file) return Reason::HeaderCut;
    h.fileHeader = ParseFileHeader(file->first<kFileHeaderSize>());
    if (h.fileHeader.bfType == kBitmapArrayMagic) {
        // Compat: an OS/2 bitmap array loads as its first bitmap, whose file
        // header follows the array's; icons and pointers ("IC", "PT", ...)
        // there are not bitmaps. Later entries are never looked at.
        file = in.Take(kFileHeaderSize);
        if (!file) return Reason::HeaderCut;
        h.fileHeader = ParseFileHeader(file->first<kFileHeaderSize>());
        h.infoOffset = 2 * kFileHeaderSize;
    }
    if (h.fileHeader.bfType != kBmpMagic) return Reason::NotBmp;

    const auto sizeField = in.Take(4);
    if (!sizeField) return Reason::HeaderCut;
    h.headerSize = LoadLe32Unchecked(sizeField->data());
    const std::size_t toRead = HeaderBytesToRead(h.headerSize);
    const auto rest = in.Take(toRead - 4);
    if (!rest) return Reason::HeaderCut;

    std::uint8_t info[kV5HeaderSize] = {};
    StoreLe32(info, h.headerSize);
    std::copy(rest->begin(), rest->end(), info + 4);
    h.kind = KindOf(h.headerSize);
    h.core = h.headerSize == kCoreHeaderSize;
    h.os2 = h.kind == HeaderKind::Os2v1 || h.kind == HeaderKind::Os2v2;
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
    if (toRead >= 108) {
        h.colourSpace = LoadLe32Unchecked(info + 56);
        for (std::size_t i = 0; i < h.endpoints.size(); ++i) h.endpoints[i] = LoadLe32Unchecked(info + 60 + 4 * i);
        for (std::size_t i = 0; i < h.gammas.size(); ++i) h.gammas[i] = LoadLe32Unchecked(info + 96 + 4 * i);
    }
    if (toRead >= kV5HeaderSize) {
        h.profileOffset = LoadLe32Unchecked(info + 112);
        h.profileSize = LoadLe32Unchecked(info + 116);
    }
    if (h.headerSize > kV5HeaderSize) in.Seek(h.infoOffset + h.headerSize);
    return Reason::None;
}

Outcome ResolveBmpLayout(ByteReader& in, const BmpHeaders& headers, BmpLayout& layout) {
    std::uint32_t maskBytes = 0;
    const ChannelMasks masks = ReadMasks(in, headers, maskBytes);
    return ResolveLayout(headers, masks, maskBytes, layout);
}

Outcome ReadBmpLayout(ByteReader& in, BmpHeaders& headers, BmpLayout& layout) {
    if (const Outcome r = ReadBmpHeaders(in, headers); r != Reason::None) return r;
    return ResolveBmpLayout(in, headers, layout);
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

}  // namespace tessaly
