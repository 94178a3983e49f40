// What a file does not hold as its headers promise, and the reader forgave:
// the damage a file that loads may have, each kind with where it lies. The
// plug-in's loads note none of it (nothing is counted unless a caller asks);
// Describe (describe.h) reads a whole file to list it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessaly {

// What a compressed-stream decoder forgave, for a caller that asks.
struct StreamNotes {
    bool endedEarly = false;   // the stream ran out before the last row, without an end of bitmap
    bool pastImage = false;    // an RLE delta past the image's end: decoding ended there
    std::uint64_t row = 0;     // for those: the stored row (0 first) where decoding stopped
    std::uint64_t offset = 0;  // and the stream's offset there
    std::uint64_t runsCut = 0;  // runs that passed the end of their row (the rest of each dropped)
    std::uint64_t deltasPastRow = 0;  // RLE deltas that moved past the end of their row
    std::uint64_t rowsCutShort = 0;  // Huffman rows an EOL ended before their last pixel
    bool bitOrderUnsure = false;     // Huffman: low bit first chosen, high bit first not ruled out
    std::uint64_t validRows = ~std::uint64_t{0};  // Huffman: rows, from the first, that its codes fill exactly
    std::uint64_t trailing = 0;  // bytes after the end of bitmap
};

// Most serious first: the order info lists them in.
enum class DamageKind : std::uint8_t {
    PixelDataShort,     // a: bytes present, b: bytes needed, c: stored rows complete
    StreamEndsEarly,    // a: stored row where decoding stopped, b: its stream offset
    DeltaPastImage,     // a: stored row, b: stream offset
    IndexPastTable,     // a: pixels, b: entries the table holds
    TableCut,           // a: entries present, b: entries declared
    RowsInvalid,        // a: rows coded validly, from the first, b: rows
    RunsCut,            // a: runs
    DeltasPastRow,      // a: deltas
    RowsCutShort,       // a: rows
    OffsetOutsideFile,  // a: bfOffBits, b: the offset the pixels were read from
    OffsetInHeaders,    // a: bfOffBits, b: the offset the pixels were read from
    FileSizeWrong,      // a: bfSize, b: the file's length
    ImageSizeWrong,     // a: biSizeImage, b: the pixel data's size
    // Notes: the file is as it says, but something about it is worth a word.
    TrailingBytes,      // a: bytes, b: their offset
    AlphaUnused,        // an alpha mask, every pixel's alpha 0: shown opaque
    PlanesWrong,        // a: biPlanes
    HeaderSizeUnknown,  // a: biSize
    ResolutionOdd,      // a, b: biXPelsPerMeter, biYPelsPerMeter (as stored, two's complement)
    BitOrderUnsure,     // Huffman 1-D read low bit first, the high-bit reading not ruled out
};

struct Damage {
    DamageKind kind;
    std::uint64_t a = 0, b = 0, c = 0;
};

// Notes change no pixel and do not make a file damaged.
constexpr bool IsNote(DamageKind kind) { return kind >= DamageKind::TrailingBytes; }

struct BmpLayout;

// A name for the kind (for JSON), and a clause in the words a user reads.
const char* DamageName(DamageKind kind);
std::string DamageText(const Damage& damage, const BmpLayout& layout);

}  // namespace tessaly
