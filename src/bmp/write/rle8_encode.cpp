// The palette indexer and the RLE8 encoder; see encode.h.
#include <algorithm>
#include <cstring>

#include "bmp/write/encode.h"

namespace tessaly {

void PaletteIndexer::Learn(std::span<const std::uint32_t> pixels) {
    for (const std::uint32_t px : pixels) {
        const std::uint8_t cls = ClassOf(px);
        if (known_[cls]) continue;
        known_[cls] = true;
        ++count_;  // at most 255: one entry per class besides class 0
        indexOfClass_[cls] = static_cast<std::uint8_t>(count_);
        StoreLe32(&palette_[4 * count_], px);
    }
}

void PaletteIndexer::IndexRow(std::span<const std::uint32_t> src, std::span<std::uint8_t> dst) const {
    for (std::size_t x = 0; x < src.size(); ++x) dst[x] = indexOfClass_[ClassOf(src[x])];
}

std::size_t EncodeRle8Line(std::span<const std::uint8_t> v, std::uint8_t* out) {
    constexpr std::size_t kMaxRun = 254;
    const std::size_t n = v.size();
    std::uint8_t* o = out;
    std::size_t p = 0;
    while (n >= 2 && p < n - 1) {
        // Repeats of v[p] right after it; the last equal index starts the next group.
        std::size_t r = 0;
        while (p + 1 + r < n && r < kMaxRun && v[p + 1 + r] == v[p]) ++r;
        if (r >= 1) {
            *o++ = static_cast<std::uint8_t>(r);
            *o++ = v[p];
            p += r;
            continue;
        }
        // Literals: up to the first position that ends the line or starts a repeat.
        std::size_t q = p + 1;
        while (q < n - 1 && v[q] != v[q + 1] && q - p < kMaxRun) ++q;
        const std::size_t k = q - p;
        if (k >= 3) {
            *o++ = 0;
            *o++ = static_cast<std::uint8_t>(k);
            std::memcpy(o, &v[p], k);
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
