// Kernels of the writing side: the save plan, header packing, row packing,
// the palette indexer and the RLE8 encoder. No file access; nothing here
// allocates except the encoder's line buffers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "bmp/read/bmp_layout.h"
#include "shell/cpu.h"

namespace tessaly {

inline constexpr std::size_t kHeadersSize = 54;               // file header + 40-byte info header
inline constexpr std::size_t kMaxHeadersSize = 14 + 108;      // file header + V4 info header
inline constexpr std::size_t kPaletteBytes = 1024;            // 256 RGBQUAD entries
inline constexpr std::uint32_t kIndexedPixelOffset = 1078;    // 54 + 1024

// The forms a save can take. Bgra32Alpha is a 32-bit save whose pixels carry
// transparency: a V4 header with an alpha mask, so readers keep it (a 40-byte
// BI_RGB file's fourth bytes are ignored by every reader).
enum class SaveFormat : std::uint8_t { Bgra32, Bgr24, Indexed8, Rle8, Gray8, Bgra32Alpha };

// Where an 8-bit form's colour table comes from.
enum class TableSource : std::uint8_t { None, Learned, GrayRamp };

// What one form stores; every size of a file follows from its row.
struct SaveFormatRow {
    std::uint32_t infoSize;     // biSize: 40, or 108 for the V4 header
    std::uint16_t bitCount;     // biBitCount
    std::uint32_t compression;  // biCompression
    std::size_t sourceBytes;    // bytes of one host pixel
    std::size_t storedBytes;    // bytes of one stored pixel in an uncompressed row
    TableSource table;          // 256 entries after the headers, or none
};
const SaveFormatRow& FormatRow(SaveFormat format);

// The form a save of 32-bit pixels asks for, by bit count (32, 24, 8), with
// BI_RLE8 for an 8-bit request of compression 1 (other compression values
// write uncompressed rows). nullopt for any other bit count.
std::optional<SaveFormat> ChooseSaveFormat(std::uint8_t bitCount, std::uint32_t compression);

// Every size of one save, known before the file system is touched.
struct SavePlan {
    SaveFormat format = SaveFormat::Bgra32;
    std::int32_t width = 0, height = 0;  // both positive
    std::size_t pixels = 0;              // width x height: host pixels read
    std::size_t stride = 0;              // bytes of one stored row, padded to 4 (uncompressed forms)
    std::uint32_t pixelOffset = 0;       // bfOffBits
    std::uint64_t fileSize = 0;          // the whole file, exactly
};

// The plan of a save of `format` at width x height. `encodedBytes` is the
// length of the pixel data for Rle8 (the encoder's count; ignored otherwise).
// nullopt when a side is zero or negative (no loadable file has one), the host
// buffer cannot be indexed, or the file would pass the 32-bit bfSize.
std::optional<SavePlan> PlanSave(SaveFormat format, std::int32_t width, std::int32_t height,
                                 std::uint64_t encodedBytes = 0);

// Both headers of the planned file, 14 + infoSize bytes: biPlanes 1, the
// resolution and colour-count fields 0; the 40-byte header's image size 0; the
// V4 header's image size, masks (B, G, R, A bytes in order) and LCS_sRGB.
struct PackedHeaders {
    std::array<std::uint8_t, kMaxHeadersSize> bytes{};
    std::size_t size = 0;
    [[nodiscard]] std::span<const std::uint8_t> Bytes() const { return std::span(bytes).first(size); }
};
PackedHeaders PackHeaders(const SavePlan& plan);

// Whether 32-bit pixels carry transparency: some fourth byte other than 0xFF,
// and not every fourth byte 0 (how hosts that ignore alpha leave it). Reads
// the pixels in blocks and stops once a block settles the answer. The plain
// twin, with SSE2 and AVX2 variants (cpu.h).
using CarriesTransparencyFn = bool (*)(std::span<const std::uint32_t> pixels);
bool CarriesTransparencyScalar(std::span<const std::uint32_t> pixels);
extern const KernelFamily<CarriesTransparencyFn> kCarriesTransparency;

// One 24-bit row (B, G, R per pixel) from 32-bit pixels; dst holds 3 * src.size() bytes.
// The plain twin, with SSSE3 and AVX2 variants (cpu.h).
using PackRowFn = void (*)(std::span<const std::uint32_t> src, std::span<std::uint8_t> dst);
void PackRowBgr24Scalar(std::span<const std::uint32_t> src, std::span<std::uint8_t> dst);
extern const KernelFamily<PackRowFn> kPackRowBgr24;

// The gray ramp: entry i is B = G = R = i, reserved 0.
std::array<std::uint8_t, kPaletteBytes> GrayRampPalette();

// The class of each pixel (PaletteIndexer::ClassOf); dst holds src.size()
// bytes. The plain twin, with SSE2 and AVX2 variants (cpu.h).
using ClassifyRowFn = void (*)(std::span<const std::uint32_t> src, std::span<std::uint8_t> dst);
void ClassifyRowScalar(std::span<const std::uint32_t> src, std::span<std::uint8_t> dst);
extern const KernelFamily<ClassifyRowFn> kClassifyRow;

// Which neighbours of a line are equal: bit i of `bits` (little-endian words)
// is line[i] == line[i + 1] for i + 1 < line.size(), and 0 from there to the
// end of its word and in one more word after it; `bits` holds
// RepeatWords(line.size()) words. The plain twin, with SSE2 and AVX2 variants (cpu.h).
using RepeatBitsFn = void (*)(std::span<const std::uint8_t> line, std::uint64_t* bits);
void RepeatBitsScalar(std::span<const std::uint8_t> line, std::uint64_t* bits);
extern const KernelFamily<RepeatBitsFn> kRepeatBits;
inline constexpr std::size_t RepeatWords(std::size_t n) {
    return n / 64 + 2;
}

// The classes a palette has entries for, as 256 bits (bit c of word c / 64).
using ClassSet = std::array<std::uint64_t, 4>;
// The first x with classes[x] not in `known`, or classes.size() when all are.
// The plain twin, with AVX2 and AVX-512 VBMI variants (cpu.h).
using FindUnknownFn = std::size_t (*)(std::span<const std::uint8_t> classes, const ClassSet& known);
std::size_t FindUnknownScalar(std::span<const std::uint8_t> classes, const ClassSet& known);
extern const KernelFamily<FindUnknownFn> kFindUnknown;

// What encoding one row at a time needs besides its output: the row's
// classes and their repeat bits, sized once for rows of `width` pixels.
struct Rle8Rows {
    explicit Rle8Rows(std::size_t width) : classes(width), repeats(RepeatWords(width)) {}
    std::vector<std::uint8_t> classes;
    std::vector<std::uint64_t> repeats;
};

// Groups colours by the top two bits of each of a pixel's four bytes. Entry 0
// is 00 00 00 00 and stands for the class of pixels whose bytes are all below
// 0x40; each further class met, in order of first appearance, gets the next
// entry holding that first pixel's four bytes unchanged. 256 classes, so the
// table can never overflow.
class PaletteIndexer {
public:
    // Classifies with the variant of `level` (the best the CPU runs by default).
    explicit PaletteIndexer(Simd level = BestSimd())
        : classify_(kClassifyRow.At(level)), repeatBits_(kRepeatBits.At(level)), findUnknown_(kFindUnknown.At(level)) {}
    // Visits the pixels row by row, top row first, to fill the palette.
    void Learn(std::span<const std::uint32_t> pixels);
    // The same over width x height pixels, answering the length of the BI_RLE8
    // stream they will make (EncodeIndexedRle8's bytes), so a save knows its
    // file's size before it has one.
    [[nodiscard]] std::uint64_t LearnMeasuringRle8(std::span<const std::uint32_t> pixels, std::size_t width,
                                                   std::size_t height);
    [[nodiscard]] std::uint8_t IndexOf(std::uint32_t pixel) const { return indexOfClass_[ClassOf(pixel)]; }
    // Indices of one row of pixels; dst holds src.size() bytes.
    void IndexRow(std::span<const std::uint32_t> src, std::span<std::uint8_t> dst) const;
    // One row's BI_RLE8 line under the palette learnt, at `out`: exactly
    // EncodeRle8Line's bytes for the row's indices, made from its classes and
    // their repeat bits without a pass over indices. `rows` must be sized for
    // the row's width; `out` must hold MaxRle8LineBytes(row.size()). Returns
    // the bytes written.
    std::size_t EncodeRowRle8(std::span<const std::uint32_t> row, Rle8Rows& rows, std::uint8_t* out) const;
    [[nodiscard]] const std::array<std::uint8_t, kPaletteBytes>& Palette() const { return palette_; }
    [[nodiscard]] unsigned Count() const { return count_; }

    static std::uint8_t ClassOf(std::uint32_t pixel) {
        // The top two bits of B, G, R and A, packed into one byte (B lowest):
        // one multiply gathers the four 2-bit fields into the top byte.
        return static_cast<std::uint8_t>((((pixel >> 6) & 0x03030303u) * 0x01041040u) >> 24);
    }

private:
    // Takes the classes of `row` (classes[x] of row[x]) into the palette.
    void LearnClasses(std::span<const std::uint32_t> row, std::span<const std::uint8_t> classes);

    ClassifyRowFn classify_;
    RepeatBitsFn repeatBits_;
    FindUnknownFn findUnknown_;
    std::array<std::uint8_t, kPaletteBytes> palette_{};
    std::array<std::uint8_t, 256> indexOfClass_{};  // class 0 is index 0
    ClassSet known_{1};                             // class 0 needs no entry
    unsigned count_ = 0;
};

// Writes one line of palette indices as BI_RLE8 items at `out`: encoded runs
// of up to 254, absolute runs of 3 to 254 (padded to an even length), runs of
// one for short stretches, and an end of line. No delta or end-of-bitmap item.
// `out` must hold MaxRle8LineBytes(line.size()); returns the bytes written.
std::size_t EncodeRle8Line(std::span<const std::uint8_t> line, std::uint8_t* out);
// (Eight bytes of slack past the longest line: literals are copied a word at a time.)
inline constexpr std::size_t MaxRle8LineBytes(std::size_t width) { return 2 * width + 4 + 8; }
// The same, appended to a vector.
void EncodeRle8Line(std::span<const std::uint8_t> line, std::vector<std::uint8_t>& out);

// The BI_RLE8 stream of `pixels` (width x height, top row first) under the
// indexer's palette, lines from the bottom row up: each line's items are
// handed to put(span of bytes) as soon as they are made, so the stream is
// never held whole. Stops, answering false, when put answers false.
template <class Put>
bool EncodeIndexedRle8(std::span<const std::uint32_t> pixels, std::size_t width, std::size_t height,
                       const PaletteIndexer& indexer, Put put) {
    Rle8Rows rows(width);
    std::vector<std::uint8_t> items(MaxRle8LineBytes(width));
    for (std::size_t r = height; r-- > 0;) {
        const std::size_t n = indexer.EncodeRowRle8(pixels.subspan(r * width, width), rows, items.data());
        if (!put(std::span<const std::uint8_t>(items.data(), n))) return false;
    }
    return true;
}

}  // namespace tessaly
