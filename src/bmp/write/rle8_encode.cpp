// The palette indexer and the RLE8 encoder; see encode.h.
#include <algorithm>
#include <bit>
#include <cstring>

#include "bmp/write/encode.h"
#include "bmp/write/rle8_encode_x86.h"

namespace tessaly {

namespace {

constexpr std::size_t kMaxRun = 254;

// Bytes equal to v[p] right after it, at most `most`: eight compared at a time.
std::size_t Repeats(const std::uint8_t* v, std::size_t p, std::size_t most) {
    const std::uint64_t pattern = v[p] * 0x0101010101010101ull;
    std::size_t r = 0;
    for (; r + 8 <= most; r += 8) {
        std::uint64_t w;
        std::memcpy(&w, v + p + 1 + r, 8);
        if (const std::uint64_t diff = LittleEndianWord(w) ^ pattern; diff != 0)
            return r + static_cast<std::size_t>(std::countr_zero(diff)) / 8;
    }
    while (r < most && v[p + 1 + r] == v[p]) ++r;
    return r;
}

// The first q from p + 1 on where a repeat starts (v[q] == v[q + 1]), or
// `stop` if none comes first: eight neighbouring pairs compared at a time.
std::size_t LiteralEnd(const std::uint8_t* v, std::size_t p, std::size_t stop, std::size_t n) {
    std::size_t q = p + 1;
    for (; q + 8 <= stop && q + 9 <= n; q += 8) {
        std::uint64_t a, b;
        std::memcpy(&a, v + q, 8);
        std::memcpy(&b, v + q + 1, 8);
        // A zero byte in a ^ b is a pair that repeats; the lowest flagged byte is the first zero.
        const std::uint64_t same = LittleEndianWord(a) ^ LittleEndianWord(b);
        const std::uint64_t zero = (same - 0x0101010101010101ull) & ~same & 0x8080808080808080ull;
        if (zero != 0) return q + static_cast<std::size_t>(std::countr_zero(zero)) / 8;
    }
    while (q < stop && v[q] != v[q + 1]) ++q;
    return q;
}

// The blocks of a line of n >= 2 pixels, from its repeat bits, in order:
// block(equal, from, count) for each. A block of ones (neighbours equal) of b
// bits is b + 1 pixels of one colour, the last of which starts the next block:
// it encodes as runs of b. A block of zeros is a literal stretch of as many
// pixels. Blocks are found from where the bits change, a word at a time, with
// no per-pixel work.
template <class Block>
void ForEachBlock(const std::uint64_t* repeats, std::size_t n, Block block) {
    const std::size_t end = n - 1;  // bits 0 .. n - 2 are the line's
    std::size_t start = 0;
    bool equal = (repeats[0] & 1) != 0;
    std::uint64_t carry = repeats[0] & 1;  // bit -1 as bit 0: the first block starts at 0 alone
    for (std::size_t j = 0; j * 64 < end; ++j) {
        const std::uint64_t w = repeats[j];
        std::uint64_t starts = w ^ (w << 1 | carry);
        carry = w >> 63;
        for (; starts != 0; starts &= starts - 1) {
            const std::size_t at = j * 64 + static_cast<std::size_t>(std::countr_zero(starts));
            if (at >= end) break;
            block(equal, start, at - start);
            start = at;
            equal = !equal;
        }
    }
    block(equal, start, end - start);
}

// The items of the line v (n bytes) from its repeat bits, each colour byte
// written as colour(v[i]): exactly EncodeRle8Line's items for the colours.
template <class Colour>
std::size_t EncodeFromRepeats(const std::uint8_t* v, const std::uint64_t* repeats, std::size_t n, Colour colour,
                              std::uint8_t* out) {
    std::uint8_t* o = out;
    if (n >= 2) {
        ForEachBlock(repeats, n, [v, colour, &o](bool equal, std::size_t from, std::size_t count) {
            std::uint8_t* at = o;
            do {  // runs of one colour, or literals; both split at kMaxRun
                const std::size_t k = std::min(count, kMaxRun);
                if (equal) {
                    at[0] = static_cast<std::uint8_t>(k);
                    at[1] = colour(v[from]);
                    at += 2;
                } else if (k >= 3) {
                    at[0] = 0;
                    at[1] = static_cast<std::uint8_t>(k);
                    for (std::size_t i = 0; i < k; ++i) at[2 + i] = colour(v[from + i]);
                    at[2 + k] = 0;        // the pad byte, kept when k is odd
                    at += 2 + k + k % 2;  // items start at even offsets
                } else {
                    // One or two runs of one; the second pair is overwritten when k is 1
                    // (v[from + 1] is the line's: the block ends before its last pixel).
                    at[0] = 1;
                    at[1] = colour(v[from]);
                    at[2] = 1;
                    at[3] = colour(v[from + 1]);
                    at += 2 * k;
                }
                from += k;
                count -= k;
            } while (count != 0);
            o = at;
        });
    }
    if (n >= 1) {
        o[0] = 1;
        o[1] = colour(v[n - 1]);
        o += 2;
    }
    o[0] = 0;
    o[1] = 0;
    return static_cast<std::size_t>(o + 2 - out);
}

// The bytes EncodeFromRepeats makes for the line, worked out per block.
std::uint64_t Rle8LineBytes(const std::uint64_t* repeats, std::size_t n) {
    std::uint64_t bytes = n >= 1 ? 4 : 2;  // the last pixel and the end of line
    if (n >= 2) {
        ForEachBlock(repeats, n, [&bytes](bool equal, std::size_t, std::size_t count) {
            if (equal) {
                bytes += 2 * ((count + kMaxRun - 1) / kMaxRun);
                return;
            }
            const std::size_t rest = count % kMaxRun;
            bytes += (count / kMaxRun) * (2 + kMaxRun) + (rest >= 3 ? 2 + rest + rest % 2 : 2 * rest);
        });
    }
    return bytes;
}

}  // namespace

void PaletteIndexer::LearnClasses(std::span<const std::uint32_t> row, std::span<const std::uint8_t> classes) {
    // Nearly every class is known after the first rows: the search skips them many at a time.
    for (std::size_t x = findUnknown_(classes, known_); x < classes.size();
         x += 1 + findUnknown_(classes.subspan(x + 1), known_)) {
        const std::uint8_t cls = classes[x];
        known_[cls / 64] |= std::uint64_t{1} << (cls % 64);
        ++count_;  // at most 255: one entry per class besides class 0
        indexOfClass_[cls] = static_cast<std::uint8_t>(count_);
        StoreLe32(&palette_[4 * count_], row[x]);
    }
}

void PaletteIndexer::Learn(std::span<const std::uint32_t> pixels) {
    std::array<std::uint8_t, 4096> classes;
    for (std::size_t at = 0; at < pixels.size(); at += classes.size()) {
        const auto piece = pixels.subspan(at, std::min(classes.size(), pixels.size() - at));
        classify_(piece, std::span<std::uint8_t>(classes).first(piece.size()));
        LearnClasses(piece, std::span<const std::uint8_t>(classes).first(piece.size()));
    }
}

std::uint64_t PaletteIndexer::LearnMeasuringRle8(std::span<const std::uint32_t> pixels, std::size_t width,
                                                 std::size_t height) {
    // A line's items depend only on which neighbours share a class, so the
    // classes encode to exactly as many bytes as the indices will.
    Rle8Rows rows(width);
    std::uint64_t total = 0;
    for (std::size_t r = 0; r < height; ++r) {
        const auto row = pixels.subspan(r * width, width);
        classify_(row, rows.classes);
        repeatBits_(rows.classes, rows.repeats.data());
        LearnClasses(row, rows.classes);
        total += Rle8LineBytes(rows.repeats.data(), width);
    }
    return total;
}

std::size_t PaletteIndexer::EncodeRowRle8(std::span<const std::uint32_t> row, Rle8Rows& rows, std::uint8_t* out) const {
    const auto classes = std::span<std::uint8_t>(rows.classes).first(row.size());
    classify_(row, classes);
    repeatBits_(classes, rows.repeats.data());
    return EncodeFromRepeats(
        classes.data(), rows.repeats.data(), row.size(), [this](std::uint8_t c) { return indexOfClass_[c]; }, out);
}

std::size_t FindUnknownScalar(std::span<const std::uint8_t> classes, const ClassSet& known) {
    for (std::size_t x = 0; x < classes.size(); ++x)
        if (((known[classes[x] / 64] >> (classes[x] % 64)) & 1) == 0) return x;
    return classes.size();
}

void RepeatBitsScalar(std::span<const std::uint8_t> line, std::uint64_t* bits) {
    const std::size_t n = line.size();
    for (std::size_t j = 0; j < RepeatWords(n); ++j) {
        std::uint64_t w = 0;
        for (std::size_t i = j * 64; i < std::min(j * 64 + 64, n) && i + 1 < n; ++i)
            w |= std::uint64_t{line[i] == line[i + 1]} << (i % 64);
        bits[j] = w;
    }
}

void PaletteIndexer::IndexRow(std::span<const std::uint32_t> src, std::span<std::uint8_t> dst) const {
    classify_(src, dst);
    for (std::size_t x = 0; x < src.size(); ++x) dst[x] = indexOfClass_[dst[x]];
}

void ClassifyRowScalar(std::span<const std::uint32_t> src, std::span<std::uint8_t> dst) {
    for (std::size_t x = 0; x < src.size(); ++x) dst[x] = PaletteIndexer::ClassOf(src[x]);
}

const KernelFamily<FindUnknownFn> kFindUnknown = KernelFamily<FindUnknownFn>(FindUnknownScalar)
#if defined(TESSALY_X86_DISPATCH)
    .With(Simd::Avx2, FindUnknownAvx2)
    .With(Simd::Avx512Vbmi, FindUnknownVbmi)
#endif
    ;

const KernelFamily<RepeatBitsFn> kRepeatBits = KernelFamily<RepeatBitsFn>(RepeatBitsScalar)
#if defined(TESSALY_X86_DISPATCH)
    .With(Simd::Sse2, RepeatBitsSse2)
    .With(Simd::Avx2, RepeatBitsAvx2)
#endif
    ;

const KernelFamily<ClassifyRowFn> kClassifyRow = KernelFamily<ClassifyRowFn>(ClassifyRowScalar)
#if defined(TESSALY_X86_DISPATCH)
    .With(Simd::Sse2, ClassifyRowSse2).With(Simd::Avx2, ClassifyRowAvx2)
#endif
    ;

std::size_t EncodeRle8Line(std::span<const std::uint8_t> line, std::uint8_t* out) {
    const std::uint8_t* v = line.data();
    const std::size_t n = line.size();
    std::uint8_t* o = out;
    std::size_t p = 0;
    while (n >= 2 && p < n - 1) {
        // Repeats of v[p] right after it; the last equal index starts the next group.
        const std::size_t r = Repeats(v, p, std::min(kMaxRun, n - 1 - p));
        if (r >= 1) {
            *o++ = static_cast<std::uint8_t>(r);
            *o++ = v[p];
            p += r;
            continue;
        }
        // Literals: up to the first position that ends the line or starts a repeat.
        const std::size_t k = LiteralEnd(v, p, std::min(n - 1, p + kMaxRun), n) - p;
        if (k >= 3) {
            *o++ = 0;
            *o++ = static_cast<std::uint8_t>(k);
            // Eight bytes at a time, the last word running past the literals
            // into the output's slack (the next item overwrites it).
            for (std::size_t i = 0; i < k; i += 8) std::memcpy(o + i, v + p + i, std::min<std::size_t>(8, n - p - i));
            o += k;
            if (k % 2) *o++ = 0;  // items start at even offsets
        } else {
            for (std::size_t i = p; i < p + k; ++i) {
                *o++ = 1;
                *o++ = v[i];
            }
        }
        p += k;
    }
    if (n >= 1) {
        *o++ = 1;
        *o++ = v[n - 1];
    }
    *o++ = 0;
    *o++ = 0;
    return static_cast<std::size_t>(o - out);
}

void EncodeRle8Line(std::span<const std::uint8_t> line, std::vector<std::uint8_t>& out) {
    const std::size_t at = out.size();
    out.resize(at + MaxRle8LineBytes(line.size()));
    out.resize(at + EncodeRle8Line(line, out.data() + at));
}

}  // namespace tessaly
