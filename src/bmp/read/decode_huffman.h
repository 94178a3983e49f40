// The OS/2 Huffman 1-D decoder: two-colour pictures coded as in ITU-T T.4's
// one-dimensional (modified Huffman) scheme, each row alternating white and
// black runs from a white one, an EOL code (000000000001, after any zero fill
// bits) between rows.
//
// Reads only through the ByteReader, writes only through the PixelSink, so
// neither the stream nor the image can be overrun: a run never passes the end
// of its row (the rest of the run is dropped), and no table is sized by the
// stream. Decoding ends at an invalid code, at the end of the stream, or once
// the image is complete; every element not written by then is palette entry 0,
// as with the RLE decoders. It cannot fail (a failed read ends decoding, and
// the reader says so).
//
// A run of n pixels is zero or more make-up codes (multiples of 64) and one
// terminating code (0 to 63); the colour changes after each terminating code.
// Codes are at most 13 bits long and none starts with 8 zeros, so 8 zeros at a
// code's place can only be fill bits before an EOL. Codes are looked up 13
// bits at a time in tables made at compile time from the T.4 code lists.
//
// A template over the sink's row target (pixel_sink.h).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "bmp/read/byte_reader.h"
#include "bmp/read/damage.h"
#include "bmp/read/decode_plain.h"
#include "bmp/read/pixel_sink.h"

namespace tessaly {
namespace huffman {

struct Code {
    const char* bits;
    std::uint16_t run;
};

// Terminating and make-up codes of white runs.
inline constexpr Code kWhiteCodes[] = {
    {"00110101", 0},     {"000111", 1},       {"0111", 2},         {"1000", 3},         {"1011", 4},
    {"1100", 5},         {"1110", 6},         {"1111", 7},         {"10011", 8},        {"10100", 9},
    {"00111", 10},       {"01000", 11},       {"001000", 12},      {"000011", 13},      {"110100", 14},
    {"110101", 15},      {"101010", 16},      {"101011", 17},      {"0100111", 18},     {"0001100", 19},
    {"0001000", 20},     {"0010111", 21},     {"0000011", 22},     {"0000100", 23},     {"0101000", 24},
    {"0101011", 25},     {"0010011", 26},     {"0100100", 27},     {"0011000", 28},     {"00000010", 29},
    {"00000011", 30},    {"00011010", 31},    {"00011011", 32},    {"00010010", 33},    {"00010011", 34},
    {"00010100", 35},    {"00010101", 36},    {"00010110", 37},    {"00010111", 38},    {"00101000", 39},
    {"00101001", 40},    {"00101010", 41},    {"00101011", 42},    {"00101100", 43},    {"00101101", 44},
    {"00000100", 45},    {"00000101", 46},    {"00001010", 47},    {"00001011", 48},    {"01010010", 49},
    {"01010011", 50},    {"01010100", 51},    {"01010101", 52},    {"00100100", 53},    {"00100101", 54},
    {"01011000", 55},    {"01011001", 56},    {"01011010", 57},    {"01011011", 58},    {"01001010", 59},
    {"01001011", 60},    {"00110010", 61},    {"00110011", 62},    {"00110100", 63},    {"11011", 64},
    {"10010", 128},      {"010111", 192},     {"0110111", 256},    {"00110110", 320},   {"00110111", 384},
    {"01100100", 448},   {"01100101", 512},   {"01101000", 576},   {"01100111", 640},   {"011001100", 704},
    {"011001101", 768},  {"011010010", 832},  {"011010011", 896},  {"011010100", 960},  {"011010101", 1024},
    {"011010110", 1088}, {"011010111", 1152}, {"011011000", 1216}, {"011011001", 1280}, {"011011010", 1344},
    {"011011011", 1408}, {"010011000", 1472}, {"010011001", 1536}, {"010011010", 1600}, {"011000", 1664},
    {"010011011", 1728},
};

// Terminating and make-up codes of black runs.
inline constexpr Code kBlackCodes[] = {
    {"0000110111", 0},     {"010", 1},            {"11", 2},             {"10", 3},
    {"011", 4},            {"0011", 5},           {"0010", 6},           {"00011", 7},
    {"000101", 8},         {"000100", 9},         {"0000100", 10},       {"0000101", 11},
    {"0000111", 12},       {"00000100", 13},      {"00000111", 14},      {"000011000", 15},
    {"0000010111", 16},    {"0000011000", 17},    {"0000001000", 18},    {"00001100111", 19},
    {"00001101000", 20},   {"00001101100", 21},   {"00000110111", 22},   {"00000101000", 23},
    {"00000010111", 24},   {"00000011000", 25},   {"000011001010", 26},  {"000011001011", 27},
    {"000011001100", 28},  {"000011001101", 29},  {"000001101000", 30},  {"000001101001", 31},
    {"000001101010", 32},  {"000001101011", 33},  {"000011010010", 34},  {"000011010011", 35},
    {"000011010100", 36},  {"000011010101", 37},  {"000011010110", 38},  {"000011010111", 39},
    {"000001101100", 40},  {"000001101101", 41},  {"000011011010", 42},  {"000011011011", 43},
    {"000001010100", 44},  {"000001010101", 45},  {"000001010110", 46},  {"000001010111", 47},
    {"000001100100", 48},  {"000001100101", 49},  {"000001010010", 50},  {"000001010011", 51},
    {"000000100100", 52},  {"000000110111", 53},  {"000000111000", 54},  {"000000100111", 55},
    {"000000101000", 56},  {"000001011000", 57},  {"000001011001", 58},  {"000000101011", 59},
    {"000000101100", 60},  {"000001011010", 61},  {"000001100110", 62},  {"000001100111", 63},
    {"0000001111", 64},    {"000011001000", 128}, {"000011001001", 192}, {"000001011011", 256},
    {"000000110011", 320}, {"000000110100", 384}, {"000000110101", 448}, {"0000001101100", 512},
    {"0000001101101", 576},  {"0000001001010", 640},  {"0000001001011", 704},  {"0000001001100", 768},
    {"0000001001101", 832},  {"0000001110010", 896},  {"0000001110011", 960},  {"0000001110100", 1024},
    {"0000001110101", 1088}, {"0000001110110", 1152}, {"0000001110111", 1216}, {"0000001010010", 1280},
    {"0000001010011", 1344}, {"0000001010100", 1408}, {"0000001010101", 1472}, {"0000001011010", 1536},
    {"0000001011011", 1600}, {"0000001100100", 1664}, {"0000001100101", 1728},
};

// Make-up codes for runs of 1792 and more, shared by both colours.
inline constexpr Code kSharedCodes[] = {
    {"00000001000", 1792},  {"00000001100", 1856},  {"00000001101", 1920},  {"000000010010", 1984},
    {"000000010011", 2048}, {"000000010100", 2112}, {"000000010101", 2176}, {"000000010110", 2240},
    {"000000010111", 2304}, {"000000011100", 2368}, {"000000011101", 2432}, {"000000011110", 2496},
    {"000000011111", 2560},
};

inline constexpr unsigned kMaxCodeBits = 13;
inline constexpr unsigned kTerminatingLimit = 64;  // runs below this are terminating codes

// Every kMaxCodeBits-bit window: the code it starts with, as length << 12 | run
// (length 0: no code starts so).
struct CodeTable {
    std::array<std::uint16_t, 1u << kMaxCodeBits> entries{};
    bool prefixFree = true;  // no code is the start of another
};

constexpr CodeTable MakeCodeTable(std::span<const Code> own, std::span<const Code> shared) {
    CodeTable t;
    for (const std::span<const Code> list : {own, shared}) {
        for (const Code& c : list) {
            unsigned length = 0, value = 0;
            for (const char* p = c.bits; *p != '\0'; ++p, ++length) value = value << 1 | (*p == '1' ? 1u : 0u);
            const unsigned first = value << (kMaxCodeBits - length), count = 1u << (kMaxCodeBits - length);
            for (unsigned w = first; w < first + count; ++w) {
                if (t.entries[w] != 0) t.prefixFree = false;
                t.entries[w] = static_cast<std::uint16_t>(length << 12 | c.run);
            }
        }
    }
    return t;
}

inline constexpr CodeTable kWhiteTable = MakeCodeTable(kWhiteCodes, kSharedCodes);
inline constexpr CodeTable kBlackTable = MakeCodeTable(kBlackCodes, kSharedCodes);
static_assert(kWhiteTable.prefixFree && kBlackTable.prefixFree, "a code list has a typo");

// The stream's bits, first bit first, taken byte by byte from the reader.
class BitReader {
public:
    BitReader(ByteReader& in, bool lowBitFirst) : in_(in), lowBitFirst_(lowBitFirst) {}

    // Bits buffered, at least 57 unless the stream has ended.
    unsigned Available() {
        while (count_ <= 56) {
            const auto byte = in_.Take(1);
            if (!byte) break;
            const std::uint8_t b = lowBitFirst_ ? Reversed((*byte)[0]) : (*byte)[0];
            bits_ |= std::uint64_t{b} << (56 - count_);
            count_ += 8;
        }
        return count_;
    }
    // Bits read from the stream but not yet used.
    [[nodiscard]] unsigned Buffered() const { return count_; }
    // The next n bits (n <= 32); positions past the stream's end read as zero.
    [[nodiscard]] unsigned Peek(unsigned n) const { return static_cast<unsigned>(bits_ >> (64 - n)); }
    // Drops n buffered bits (n <= count_).
    void Skip(unsigned n) {
        bits_ = n < 64 ? bits_ << n : 0;
        count_ -= n;
    }

private:
    static std::uint8_t Reversed(std::uint8_t b) {
        b = static_cast<std::uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
        b = static_cast<std::uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
        return static_cast<std::uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
    }

    ByteReader& in_;
    bool lowBitFirst_;
    std::uint64_t bits_ = 0;  // first bit in bit 63
    unsigned count_ = 0;
};

// Skips fill zeros and the one that ends an EOL; false when the stream ends first.
inline bool SkipEol(BitReader& bits) {
    for (;;) {
        const unsigned available = bits.Available();
        if (available == 0) return false;
        const unsigned window = bits.Peek(32);
        if (window == 0) {
            bits.Skip(std::min(available, 32u));
            continue;
        }
        const unsigned zeros = static_cast<unsigned>(std::countl_zero(window));
        if (zeros + 1 > available) return false;
        bits.Skip(zeros + 1);
        return true;
    }
}

// How many rows, from the start, read as whole codes that fill exactly
// `width` pixels each (with or without an EOL between them), up to `height`:
// the stream's own evidence for a bit order. `ranOut`: the count stopped at
// the stream's end rather than at something no valid row holds.
inline std::size_t ValidRows(ByteReader& in, bool lowBitFirst, std::size_t width, std::size_t height, bool& ranOut) {
    ranOut = false;
    BitReader bits(in, lowBitFirst);
    std::size_t rows = 0, x = 0;
    unsigned colour = 0;
    bool runOpen = false;
    while (rows < height) {
        const unsigned available = bits.Available();
        if (available == 0) {
            ranOut = true;
            break;
        }
        if (bits.Peek(8) == 0) {  // an EOL: only between rows
            if (x != 0) break;
            ranOut = !SkipEol(bits);
            if (ranOut) break;
            continue;
        }
        const std::uint16_t entry = (colour == 0 ? kWhiteTable : kBlackTable).entries[bits.Peek(kMaxCodeBits)];
        const unsigned length = entry >> 12, run = entry & 0x0FFFu;
        ranOut = length > available;
        if (length == 0 || length > available || run > width - x) break;
        bits.Skip(length);
        x += run;
        runOpen = run >= kTerminatingLimit;
        if (!runOpen) colour ^= 1;
        if (x == width && !runOpen) {
            ++rows;
            x = 0;
            colour = 0;
        }
    }
    return rows;
}

// Compat: the OS/2 header has no field for the bit order. The first pixel is
// a byte's high bit, as fax files and the BMP suite store it, unless the other
// order reads more of the image as valid rows. `unsure`: the other order was
// chosen while the high-bit reading had only run out of stream, so it cannot
// be ruled out.
inline bool LowBitFirst(ByteReader& in, std::size_t width, std::size_t height, bool& unsure, std::size_t& valid) {
    const std::uint64_t start = in.Offset();
    bool highRanOut = false, lowRanOut = false;
    const std::size_t high = ValidRows(in, false, width, height, highRanOut);
    in.Seek(start);
    const std::size_t low = high < height ? ValidRows(in, true, width, height, lowRanOut) : 0;
    in.Seek(start);
    unsure = low > high && highRanOut;
    valid = std::max(low, high);
    return low > high;
}

}  // namespace huffman

// White runs are palette entry 0, black runs entry 1; `width` is the image's
// width in pixels. The bit order (the first pixel in a byte's high bit, or in
// its low bit) is the one in which more of the stream reads as valid rows.
// With `notes`, what the stream needed forgiving is noted there.
template <class Rows>
void DecodeHuffman1d(ByteReader& in, const PixelTable& table, std::size_t width, PixelSink<Rows>& sink,
                     StreamNotes* notes = nullptr) {
    using namespace huffman;
    const std::uint64_t elements = sink.Remaining();
    bool orderUnsure = false;
    std::size_t validRows = 0;
    BitReader bits(in, LowBitFirst(in, width, static_cast<std::size_t>(elements / width), orderUnsure, validRows));
    const CodeTable* const byColour[2] = {&kWhiteTable, &kBlackTable};
    std::size_t x = 0;     // pixels placed in the current row
    unsigned colour = 0;   // 0 white, 1 black: the run being read
    bool runOpen = false;  // a make-up code waits for its terminating code
    std::uint64_t runsCut = 0, rowsCut = 0;
    while (sink.Remaining() != 0) {
        const unsigned available = bits.Available();
        if (available == 0) break;
        if (bits.Peek(8) == 0) {  // fill bits and an EOL
            if (!SkipEol(bits)) break;
            // An EOL ends the row: pixels it did not reach are palette entry 0.
            // (A row a make-up code filled, its terminating code missing, is whole.)
            rowsCut += x != 0 && x < width;
            if (x != 0 && x < width && !sink.Fill(table[0], width - x)) break;
            x = 0;
            colour = 0;
            runOpen = false;
            continue;
        }
        const std::uint16_t entry = byColour[colour]->entries[bits.Peek(kMaxCodeBits)];
        const unsigned length = entry >> 12, run = entry & 0x0FFFu;
        // Limit: an invalid code, or one cut off by the end of the stream, ends decoding.
        if (length == 0 || length > available) break;
        bits.Skip(length);
        // Limit: a run stops at the end of its row; the rest of it is dropped.
        const std::size_t placed = std::min<std::size_t>(run, width - x);
        runsCut += placed < run;
        if (!sink.Fill(table[colour], placed)) break;
        x += placed;
        runOpen = run >= kTerminatingLimit;
        if (!runOpen) colour ^= 1;
        if (x == width && !runOpen) {  // row complete; an EOL may follow, or the next row at once
            x = 0;
            colour = 0;
        }
    }
    if (notes) {
        notes->runsCut = runsCut;
        notes->rowsCutShort = rowsCut;
        notes->bitOrderUnsure = orderUnsure;
        notes->validRows = validRows;
        notes->endedEarly = sink.Remaining() != 0 && !in.Failed();
        notes->row = (elements - sink.Remaining()) / width;
        notes->offset = in.Offset() - bits.Buffered() / 8;
    }
    // Limit: elements no code reached are palette entry 0, never leftover
    // memory; after a failed read the load fails, and nothing more is written.
    if (!in.Failed()) (void)sink.Fill(table[0], sink.Remaining());
}

}  // namespace tessaly
