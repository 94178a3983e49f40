// Reading a BMP file's header area in one pass: the file header (or an OS/2
// bitmap array's header and its first bitmap's file header), the info header
// of any version (OS/2 1.x and 2.x, Windows 40-byte, V2 to V5, normalised to
// the 40-byte layout), the bit masks that may follow it, and where the colour
// table and the pixels lie. Trusts nothing in the headers and
// allocates nothing; every file it refuses comes with the rule that refused it.
#pragma once

#include <array>
#include <cstdint>

#include "bmp/read/bmp_layout.h"
#include "bmp/read/byte_reader.h"
#include "shell/outcome.h"

namespace tessaly {

struct ChannelMasks {
    std::uint32_t red = 0, green = 0, blue = 0, alpha = 0;
};

enum class HeaderKind : std::uint8_t { Os2v1, Os2v2, Windows3, V2, V3, V4, V5, OtherWindows };
const char* HeaderKindName(HeaderKind kind);

struct BmpHeaders {
    // The bitmap's own file header (inside an OS/2 bitmap array, the first bitmap's).
    BITMAPFILEHEADER fileHeader{};
    // The info header in the 40-byte layout: fields a shorter header lacks are
    // 0, and a 12-byte core header's 16-bit fields are widened.
    BITMAPINFOHEADER infoHeader{};
    std::uint32_t headerSize = 0;  // biSize as stored
    HeaderKind kind = HeaderKind::Windows3;
    bool core = false;             // 12-byte OS/2 1.x header: 3-byte colour entries
    bool os2 = false;              // OS/2 header: compression 3 and 4 mean Huffman 1-D and RLE24
    ChannelMasks headerMasks;      // masks held inside a header of 52 bytes or more
    // Where the info header starts: after the file header, or after the array
    // header and the first bitmap's file header in an OS/2 bitmap array ("BA").
    // Offsets such as bfOffBits count from the start of the file either way.
    std::uint64_t infoOffset = kFileHeaderSize;
    // V4 and V5 colour space: its type; for LCS_CALIBRATED_RGB the endpoints
    // (red, green, blue XYZ, 2.30 fixed point) and the red, green and blue
    // gammas (16.16); for an embedded or linked profile (V5) where it lies,
    // from the info header's start.
    std::uint32_t colourSpace = 0;
    std::array<std::uint32_t, 9> endpoints{};
    std::array<std::uint32_t, 3> gammas{};
    std::uint32_t profileOffset = 0;
    std::uint32_t profileSize = 0;
    std::uint64_t fileLength = 0;
};

// How the stored pixels are laid out, and so which decoder reads them
// (Uncompressed 0, Rle4 1 and Rle8 2 keep the numbering the format's readers know).
enum class DecodeKind : std::uint8_t { Uncompressed = 0, Rle4 = 1, Rle8 = 2, Rle24 = 3, Huffman1d = 4 };

enum class PixelFormat : std::uint8_t {
    Indexed1, Indexed2, Indexed4, Indexed8,  // palette indices
    Bgr24,                                   // three bytes B, G, R
    Bgrx32,                                  // four bytes B, G, R, unused (opaque)
    Masked16, Masked32,                      // channels selected by bit masks
    Rgba64,                                  // four 16-bit channels B, G, R, A: linear light, s2.13
};

// Where a file's colour table lies.
struct ColourTable {
    std::uint64_t offset = 0;    // first entry: after the info header and any masks
    std::uint32_t entries = 0;   // entries read (at most 256)
    std::uint64_t declared = 0;  // entries the file declares
    std::uint32_t entrySize = 4; // 3 for core headers
    std::uint64_t end = 0;       // after every declared entry
    bool cutByPixels = false;    // the pixel offset lies inside the declared table and ends it there
};

struct BmpLayout {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool topDown = false;
    std::uint16_t bitCount = 0;
    std::uint32_t compression = 0;  // biCompression as stored
    DecodeKind kind = DecodeKind::Uncompressed;
    PixelFormat format = PixelFormat::Bgr24;
    ChannelMasks masks;             // Masked16 / Masked32 only
    // Alpha comes from an alpha mask (BI_ALPHABITFIELDS, or a header of 56
    // bytes or more, under BI_BITFIELDS or BI_RGB). A picture whose alpha is
    // 0 in every pixel is shown opaque all the same.
    bool alphaFromMask = false;
    std::uint32_t maskBytes = 0;    // masks stored after a 40-byte header
    ColourTable table;
    std::uint64_t pixelOffset = 0;  // where the pixel array or RLE stream starts
    std::uint64_t stride = 0;       // bytes per stored row (uncompressed)
};

// Reads the file header and info header from the start of the source.
// Reason::NotBmp or HeaderCut when it cannot. A header longer than 124 bytes
// has its tail skipped.
[[nodiscard]] Outcome ReadBmpHeaders(ByteReader& in, BmpHeaders& headers);

// After ReadBmpHeaders: reads any masks that follow the info header and works
// out the layout. `layout` is filled only when the pixels can be decoded
// (Reason::None). The reader is left after the masks.
[[nodiscard]] Outcome ResolveBmpLayout(ByteReader& in, const BmpHeaders& headers, BmpLayout& layout);

// Both steps: the whole header area in one pass.
[[nodiscard]] Outcome ReadBmpLayout(ByteReader& in, BmpHeaders& headers, BmpLayout& layout);

// Whether masks can be decoded: each nonzero mask contiguous, inside the
// pixel's bits, no two overlapping, and at least one colour.
bool MasksAreValid(const ChannelMasks& masks, std::uint32_t bitsPerPixel);

}  // namespace tessaly
