// The BMP writer: 8-bit gray, 8-bit indexed (uncompressed or RLE8), 24- and
// 32-bit files. Every request is checked and every size worked out before the
// file system is touched; rows are packed a band at a time into one reused
// buffer and written to a temporary file that replaces the destination only
// once every write, the flush and the close succeeded.
#include <algorithm>
#include <cstring>
#include <optional>

#include "bmp/read/geometry.h"
#include "bmp/write/encode.h"
#include "shell/bmp_codec.h"
#include "shell/cpu.h"
#include "shell/file.h"


namespace tessaly {
namespace {

// Collects bytes in a fixed buffer and writes them in large pieces.
class BandWriter {
public:
    BandWriter(ReplacingFile& file, std::span<std::uint8_t> buffer) : file_(file), buffer_(buffer) {}

    // Room for n bytes (n <= capacity) at the end of the band, flushing it first when full.
    [[nodiscard]] std::optional<std::span<std::uint8_t>> Reserve(std::size_t n) {
        if (buffer_.size() - used_ < n && !Flush()) return std::nullopt;
        auto out = buffer_.subspan(used_, n);
        used_ += n;
        return out;
    }
    [[nodiscard]] bool Put(std::span<const std::uint8_t> bytes) {
        while (!bytes.empty()) {
            const std::size_t n = std::min(bytes.size(), buffer_.size());
            const auto room = Reserve(n);
            if (!room) return false;
            std::memcpy(room->data(), bytes.data(), n);
            bytes = bytes.subspan(n);
        }
        return true;
    }
    [[nodiscard]] bool Flush() {
        const bool ok = used_ == 0 || file_.Write(buffer_.first(used_));
        used_ = 0;
        return ok;
    }
    [[nodiscard]] std::size_t Capacity() const { return buffer_.size(); }

private:
    ReplacingFile& file_;
    std::span<std::uint8_t> buffer_;
    std::size_t used_ = 0;
};

// Writes `rows` stored rows, bottom row first: row r (0 = top of the image) is
// produced by pack(r, x, count, dst) in pieces of `unitBytes` per pixel, then
// padded with zeros to `stride` bytes.
template <class Pack>
bool WriteRowsBottomUp(BandWriter& out, std::size_t rows, std::size_t width, std::size_t unitBytes,
                       std::size_t stride, Pack pack) {
    const std::size_t piece = std::max<std::size_t>(1, out.Capacity() / unitBytes);
    for (std::size_t r = rows; r-- > 0;) {
        for (std::size_t x = 0; x < width; x += piece) {
            const std::size_t count = std::min(piece, width - x);
            const auto dst = out.Reserve(count * unitBytes);
            if (!dst) return false;
            pack(r, x, count, *dst);
        }
        const std::size_t pad = stride - width * unitBytes;
        if (pad != 0) {
            const auto dst = out.Reserve(pad);
            if (!dst) return false;
            std::fill(dst->begin(), dst->end(), std::uint8_t{0});
        }
    }
    return true;
}

}  // namespace

std::array<std::uint8_t, kHeadersSize> PackHeaders(std::uint32_t fileSize, std::uint32_t pixelOffset,
                                                   std::int32_t width, std::int32_t height,
                                                   std::uint16_t bitCount, std::uint32_t compression) {
    std::array<std::uint8_t, kHeadersSize> h{};
    StoreLe16(&h[0], kBmpMagic);
    StoreLe32(&h[2], fileSize);
    StoreLe32(&h[10], pixelOffset);
    StoreLe32(&h[14], kInfoHeaderSize);
    StoreLe32(&h[18], static_cast<std::uint32_t>(width));
    StoreLe32(&h[22], static_cast<std::uint32_t>(height));
    StoreLe16(&h[26], 1);
    StoreLe16(&h[28], bitCount);
    StoreLe32(&h[30], compression);
    return h;
}

#if defined(TESSALY_X86_DISPATCH)
// Four pixels per shuffle: 16 bytes packed to 12; each 16-byte store runs 4
// bytes past its group and is overwritten by the next, so the last groups
// (whose store would pass the span) go to the scalar kernel.
__attribute__((target("ssse3"))) std::size_t PackRowBgr24Ssse3(std::span<const std::uint32_t> src,
                                                              std::span<std::uint8_t> dst) {
    const __m128i pack = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    std::size_t x = 0;
    for (; x + 4 <= src.size() && 3 * x + 16 <= dst.size(); x += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src.data() + x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst.data() + 3 * x), _mm_shuffle_epi8(v, pack));
    }
    return x;
}
#endif

void PackRowBgr24(std::span<const std::uint32_t> src, std::span<std::uint8_t> dst) {
#if defined(TESSALY_X86_DISPATCH)
    if (HaveSsse3()) {
        const std::size_t done = PackRowBgr24Ssse3(src, dst);
        src = src.subspan(done);
        dst = dst.subspan(3 * done);
    }
#endif
    std::uint8_t* out = dst.data();
    const std::size_t n = src.size();
    std::size_t x = 0;
    // Four pixels into three little-endian words.
    for (; x + 4 <= n; x += 4, out += 12) {
        const std::uint32_t a = src[x] & 0xFFFFFF, b = src[x + 1] & 0xFFFFFF;
        const std::uint32_t c = src[x + 2] & 0xFFFFFF, d = src[x + 3] & 0xFFFFFF;
        StoreLe32(out, a | b << 24);
        StoreLe32(out + 4, b >> 8 | c << 16);
        StoreLe32(out + 8, c >> 16 | d << 8);
    }
    for (; x < n; ++x, out += 3) {
        out[0] = static_cast<std::uint8_t>(src[x]);
        out[1] = static_cast<std::uint8_t>(src[x] >> 8);
        out[2] = static_cast<std::uint8_t>(src[x] >> 16);
    }
}

std::array<std::uint8_t, kPaletteBytes> GrayRampPalette() {
    std::array<std::uint8_t, kPaletteBytes> p{};
    for (std::size_t i = 0; i < 256; ++i) {
        p[4 * i] = p[4 * i + 1] = p[4 * i + 2] = static_cast<std::uint8_t>(i);
    }
    return p;
}

int BmpCodec::SaveBmp(const char* path, ImageInfo info, const void* pixels) {
    // Every refusal comes before the destination is touched.
    if (info.width < 0 || info.height < 0) return 0;
    const bool gray = info.bitCount == 8 && info.gray == 1;
    const bool indexed = info.bitCount == 8 && !gray;
    const bool rle = indexed && info.compression == BI_RLE8;
    std::size_t unitBytes = 0;  // stored bytes per pixel
    switch (info.bitCount) {
    case 8: unitBytes = 1; break;
    case 24: unitBytes = 3; break;
    case 32: unitBytes = 4; break;
    default: return 0;  // 1, 16 and every other depth are not written
    }
    const auto width = static_cast<std::uint32_t>(info.width);
    const auto height = static_cast<std::uint32_t>(info.height);
    const std::uint64_t stride = RowStride(width, static_cast<std::uint32_t>(8 * unitBytes));
    const std::uint32_t pixelOffset = info.bitCount == 8 ? kIndexedPixelOffset : kHeadersSize;
    const std::uint64_t sourceBytes = std::uint64_t{width} * height * (gray ? 1 : 4);
    if (!AsSize(sourceBytes) || !AsSize(stride)) return 0;
    const std::size_t w = width, h = height;
    const auto* src32 = static_cast<const std::uint32_t*>(pixels);
    const auto* src8 = static_cast<const std::uint8_t*>(pixels);

    PaletteIndexer indexer;  // the palette of a save from 32-bit pixels to 8 bits
    std::array<std::uint8_t, kPaletteBytes> colourTable{};
    if (indexed) {
        indexer.Learn({src32, w * h});
        colourTable = indexer.Palette();
    } else if (gray) {
        colourTable = GrayRampPalette();
    }
    // Limit: bfSize is 32 bits; a file it cannot describe is not written. An
    // RLE8 stream's length is known only once written: bfSize is set then.
    const std::uint64_t fileSize = pixelOffset + (rle ? 0 : stride * h);
    if (fileSize > 0xFFFFFFFFull) return 0;
    if (GetStatus(path).attribute & kAttributeReadOnly) return 0;

    ReplacingFile file;
    if (!file.Begin(path)) return 0;
    BandWriter out(file, scratch);
    const auto headers = PackHeaders(static_cast<std::uint32_t>(fileSize), pixelOffset, info.width, info.height,
                                     info.bitCount, rle ? BI_RLE8 : BI_RGB);
    if (!out.Put(headers)) return 0;
    if (info.bitCount == 8 && !out.Put(colourTable)) return 0;

    const std::size_t rowStride = static_cast<std::size_t>(stride);
    bool written = false;
    if (rle) {
        std::uint64_t streamBytes = 0;
        written = EncodeIndexedRle8({src32, w * h}, w, h, indexer, [&](std::span<const std::uint8_t> items) {
            streamBytes += items.size();
            return out.Put(items);
        });
        const std::uint64_t total = pixelOffset + streamBytes;
        std::uint8_t size[4];
        StoreLe32(size, static_cast<std::uint32_t>(total));
        written = written && total <= 0xFFFFFFFFull && out.Flush() && file.WriteAt(2, size);
    } else if (gray) {
        written = WriteRowsBottomUp(out, h, w, 1, rowStride, [&](std::size_t r, std::size_t x, std::size_t n, auto dst) {
            std::memcpy(dst.data(), src8 + r * w + x, n);
        });
    } else if (indexed) {
        written = WriteRowsBottomUp(out, h, w, 1, rowStride, [&](std::size_t r, std::size_t x, std::size_t n, auto dst) {
            indexer.IndexRow({src32 + r * w + x, n}, dst);
        });
    } else if (info.bitCount == 24) {
        written = WriteRowsBottomUp(out, h, w, 3, rowStride, [&](std::size_t r, std::size_t x, std::size_t n, auto dst) {
            PackRowBgr24({src32 + r * w + x, n}, dst);
        });
    } else {
        written = WriteRowsBottomUp(out, h, w, 4, rowStride, [&](std::size_t r, std::size_t x, std::size_t n, auto dst) {
            std::memcpy(dst.data(), src32 + r * w + x, 4 * n);
        });
    }
    return written && out.Flush() && file.Commit() ? 1 : 0;
}

int BmpCodec::SaveGrayBmp(const char* path, const void* pixels, std::int32_t width, std::int32_t height) {
    ImageInfo info;
    info.width = width;
    info.height = height;
    info.bitCount = 8;
    info.gray = 1;
    return SaveBmp(path, info, pixels) != 0 ? 1 : 0;
}

}  // namespace tessaly
