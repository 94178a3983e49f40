// Reading a BMP file's headers and working out where everything lies.
//
// ReadBmpHeaders takes the file header and the info header of any version
// (OS/2 1.x and 2.x, Windows 40-byte, V2 to V5), normalised to the 40-byte
// layout. ResolveLayout checks what a decoder needs and answers where the
// colour table and the pixel array start and how the pixels are stored. Both
// trust nothing in the headers; neither allocates.
#pragma once

#include <cstdint>
#include <optional>

#include "bmp/read/bmp_layout.h"
#include "bmp/read/byte_reader.h"

namespace tessaly {

struct ChannelMasks {
    std::uint32_t red = 0, green = 0, blue = 0, alpha = 0;
};

struct BmpHeaders {
    BITMAPFILEHEADER fileHeader{};
    // The info header in the 40-byte layout: fields a shorter header lacks are
    // 0, and a 12-byte core header's 16-bit fields are widened.
    BITMAPINFOHEADER infoHeader{};
    std::uint32_t headerSize = 0;  // biSize as stored
    bool core = false;             // 12-byte OS/2 1.x header: 3-byte colour entries
    bool os2 = false;              // OS/2 header: compression 3 and 4 mean Huffman 1-D and RLE24
    ChannelMasks headerMasks;      // masks held inside a header of 52 bytes or more
    // V5 colour space and profile (offset from the info header's start), 0 otherwise.
    std::uint32_t colourSpace = 0;
    std::uint32_t profileOffset = 0;
    std::uint32_t profileSize = 0;
};

// Reads the file header and info header from the reader's position (the start
// of the file). nullopt when the file ends first or the magic is not "BM".
// A header longer than 124 bytes has its tail skipped.
std::optional<BmpHeaders> ReadBmpHeaders(StreamReader& in);

// How the stored pixels are laid out. The RLE kinds keep the numbering of the
// decoder's selector (Uncompressed 0, Rle4 1, Rle8 2).
enum class DecodeKind : std::uint8_t { Uncompressed = 0, Rle4 = 1, Rle8 = 2, Rle24 = 3 };

enum class PixelFormat : std::uint8_t {
    Indexed1, Indexed2, Indexed4, Indexed8,  // palette indices
    Bgr24,                                   // three bytes B, G, R
    Bgrx32,                                  // four bytes B, G, R, unused (opaque)
    Masked16, Masked32,                      // channels selected by bit masks
};

struct BmpLayout {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool topDown = false;
    std::uint16_t bitCount = 0;
    DecodeKind kind = DecodeKind::Uncompressed;
    PixelFormat format = PixelFormat::Bgr24;
    ChannelMasks masks;                 // Masked16 / Masked32 only
    std::uint64_t paletteOffset = 0;    // where the colour table starts
    std::uint32_t paletteEntries = 0;   // entries to read there (at most 256)
    std::uint32_t paletteEntrySize = 4; // 3 for core headers
    std::uint64_t pixelOffset = 0;      // where the pixel array or RLE stream starts
    std::uint64_t stride = 0;           // bytes per stored row (uncompressed)
};

// Reads the masks that follow a 40-byte header for BI_BITFIELDS (12 bytes) and
// BI_ALPHABITFIELDS (16 bytes), when the file has them; the reader stays
// where it was otherwise. Returns the masks that apply to the pixels.
ChannelMasks ReadTrailingMasks(StreamReader& in, const BmpHeaders& headers, std::uint32_t* maskBytes);

// Where an indexed file's colour table lies.
struct ColourTable {
    std::uint64_t offset = 0;      // first entry: after the info header and any trailing masks
    std::uint32_t entries = 0;     // entries to read (at most 256)
    std::uint32_t entrySize = 4;   // 3 for core headers
    std::uint64_t end = 0;         // after every entry the file declares
};
// The table of a file of `bitCount` bits: biClrUsed entries, or 2^bitCount when
// 0 (a core header's count comes from the gap before bfOffBits).
ColourTable ColourTableOf(const BmpHeaders& headers, std::uint32_t maskBytes, std::uint32_t bitCount);

// The layout of a file whose headers (and trailing masks, maskBytes of them)
// have been read, or nullopt when the file cannot be decoded: no pixels, an
// unsupported depth or compression, invalid masks, top-down RLE, pixels that
// do not fit a buffer, or a file too short for what its depth requires.
std::optional<BmpLayout> ResolveLayout(const BmpHeaders& headers, ChannelMasks masks,
                                       std::uint32_t maskBytes, std::uint64_t fileLength);

// Whether masks can be decoded: each nonzero mask contiguous, inside the
// pixel's bits, and no two overlapping.
bool MasksAreValid(const ChannelMasks& masks, std::uint32_t bitsPerPixel);

}  // namespace tessaly
