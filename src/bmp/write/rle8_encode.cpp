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

}  // namespace

void PaletteIndexer::LearnClasses(std::span<const std::uint32_t> row, std::span<const std::uint8_t> classes) {
    for (std::size_t x = 0; x < classes.size(); ++x) {
        const std::uint8_t cls = classes[x];
        if (known_[cls]) continue;  // nearly always: a branch the CPU predicts
        known_[cls] = true;
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
    std::vector<std::uint8_t> classes(width), items(MaxRle8LineBytes(width));
    std::uint64_t total = 0;
    for (std::size_t r = 0; r < height; ++r) {
        const auto row = pixels.subspan(r * width, width);
        classify_(row, classes);
        LearnClasses(row, classes);
        total += EncodeRle8Line(classes, items.data());
    }
    return total;
}

void PaletteIndexer::IndexRow(std::span<const std::uint32_t> src, std::span<std::uint8_t> dst) const {
    classify_(src, dst);
    for (std::size_t x = 0; x < src.size(); ++x) dst[x] = indexOfClass_[dst[x]];
}

void ClassifyRowScalar(std::span<const std::uint32_t> src, std::span<std::uint8_t> dst) {
    for (std::size_t x = 0; x < src.size(); ++x) dst[x] = PaletteIndexer::ClassOf(src[x]);
}

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
