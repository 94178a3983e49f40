// Shared by the fuzz targets and the crash-input replay test: runs the codec's
// operations on bytes in memory through a memory file (memfd), exactly as the
// exports run them on a path. The harness caps the sizes it asks for; the
// library caps nothing on its behalf.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bmp/read/decode.h"
#include "bmp/read/decode_huffman.h"
#include "bmp/read/decode_rle.h"
#include "bmp/read/geometry.h"
#include "bmp/write/encode.h"
#include "shell/bmp_codec.h"

namespace tessaly::fuzz {

// Limit: the largest image the harness asks the codec for, in pixels.
inline constexpr std::uint64_t kMaxHarnessPixels = 1u << 20;

class MemoryFile {
public:
    MemoryFile(const std::uint8_t* data, std::size_t size) {
        fd_ = memfd_create("tessaly-fuzz", MFD_CLOEXEC);
        if (fd_ < 0) std::abort();
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = write(fd_, data + done, size - done);
            if (n <= 0) std::abort();
            done += static_cast<std::size_t>(n);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    [[nodiscard]] const char* Path() const { return path_.c_str(); }

private:
    int fd_ = -1;
    std::string path_;
};

inline BmpCodec& FuzzCodec() {
    static auto* codec = new BmpCodec();  // lives for the process, as the module's one codec does
    return *codec;
}

// The file's own width and row count, when the probe reads them and they fit the cap.
inline bool OwnSize(const char* path, std::int32_t& w, std::int32_t& h) {
    ImageInfo info;
    if (!FuzzCodec().ProbeBmpFile(path, info) || info.width <= 0 || info.height == 0 || info.height == INT32_MIN)
        return false;
    w = info.width;
    h = info.height < 0 ? -info.height : info.height;
    return std::uint64_t(w) * std::uint64_t(h) <= kMaxHarnessPixels;
}

// Loads at the file's own size; a failed load must leave the buffer untouched.
inline std::vector<std::uint32_t> LoadOwnSize(const char* path, std::int32_t& w, std::int32_t& h) {
    if (!OwnSize(path, w, h)) return {};
    std::vector<std::uint32_t> px(std::size_t(w) * std::size_t(h), 0xA5A5A5A5u);
    if (!FuzzCodec().LoadBmpFile(path, px.data(), w, h)) {
        for (const std::uint32_t p : px)
            if (p != 0xA5A5A5A5u) std::abort();  // a refused load wrote into the host's buffer
        return {};
    }
    return px;
}

inline void LoadScaled(const char* path, std::int32_t w, std::int32_t h) {
    std::vector<std::uint32_t> px(std::size_t(w) * std::size_t(h), 0xA5A5A5A5u);
    if (!FuzzCodec().LoadBmpFile(path, px.data(), w, h)) {
        for (const std::uint32_t p : px)
            if (p != 0xA5A5A5A5u) std::abort();
    }
}

// A file is gray only when it loads, and its gray load holds, for each
// pixel, the level the load shows (its blue byte). Anything else is refused
// with the buffer untouched, and nothing is written past width x height.
inline void GrayOperations(const char* path) {
    const int gray = FuzzCodec().IsGrayFile(path);
    if (gray != 0 && gray != 1) std::abort();
    std::int32_t w = 0, h = 0;
    if (!OwnSize(path, w, h)) return;
    std::vector<std::uint8_t> out(std::size_t(w) * std::size_t(h) + 16, 0x5A);
    const bool loaded = FuzzCodec().LoadGray(path, out.data(), 0, 0) == Refusal::None;
    for (std::size_t i = out.size() - 16; i < out.size(); ++i)
        if (out[i] != 0x5A) std::abort();  // wrote past the file's width x height
    if (loaded != (gray == 1)) std::abort();  // the test and the load disagree
    std::vector<std::uint32_t> shown(std::size_t(w) * std::size_t(h), 0xA5A5A5A5u);
    const bool loads = FuzzCodec().LoadBmpFile(path, shown.data(), w, h) == 1;
    if (!loaded) {
        for (std::size_t i = 0; i + 16 < out.size(); ++i)
            if (out[i] != 0x5A) std::abort();  // a refused gray load wrote into the buffer
        return;
    }
    if (!loads) std::abort();  // gray, yet a load refuses it
    for (std::size_t i = 0; i < shown.size(); ++i)
        if (out[i] != (shown[i] & 0xFF)) std::abort();  // a gray level that is not what the load shows
}

// Saves loaded pixels in every form into `dir` and loads each back.
inline void RoundTrip(const char* path, const std::string& dir) {
    std::int32_t w = 0, h = 0;
    const auto px = LoadOwnSize(path, w, h);
    if (px.empty() || std::uint64_t(w) * std::uint64_t(h) > (1u << 16)) return;
    const std::string out = dir + "/roundtrip.bmp";
    PaletteIndexer indexer;
    indexer.Learn(px);
    for (const auto& [bits, compression] : {std::pair<std::uint8_t, std::uint32_t>{24, 0}, {32, 0}, {8, 0}, {8, 1}}) {
        ImageInfo info;
        info.width = w;
        info.height = h;
        info.bitCount = bits;
        info.compression = compression;
        if (!FuzzCodec().SaveBmp(out.c_str(), info, px.data())) std::abort();
        std::vector<std::uint32_t> back(px.size(), 0);
        if (!FuzzCodec().LoadBmpFile(out.c_str(), back.data(), w, h)) std::abort();
        for (std::size_t i = 0; i < px.size(); ++i) {
            std::uint32_t want = px[i] | 0xFF000000u;
            if (bits == 8) {
                std::uint32_t entry = 0;
                std::memcpy(&entry, &indexer.Palette()[4u * indexer.IndexOf(px[i])], 4);
                want = entry | 0xFF000000u;
            }
            if (back[i] != want) std::abort();
        }
    }
    std::remove(out.c_str());
}

// The RLE command loop and the Huffman 1-D decoder over bytes in memory. The
// first three bytes choose the width, the height and the format with the row
// order; the rest is the stream.
// Afterwards every element must be defined.
inline void RleKernel(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return;
    const std::size_t w = 1 + data[0] % 64, h = 1 + data[1] % 64;
    const DecodeKind kinds[] = {DecodeKind::Rle8, DecodeKind::Rle4, DecodeKind::Rle24, DecodeKind::Huffman1d};
    const DecodeKind kind = kinds[data[2] % 4];
    PixelTable table;
    for (std::uint32_t i = 0; i < 256; ++i) table[i] = 0xFF000000u | i;
    std::vector<std::uint32_t> out(w * h, 0x12345678u);  // no table entry makes this value
    ImageRows rows(ImageView{out.data(), w, h});
    PixelSink<ImageRows> sink(rows, data[2] & 0x80);
    if (kind == DecodeKind::Huffman1d) {
        std::array<std::uint8_t, 64> buffer;
        StreamReader in(std::span<const std::uint8_t>(data + 3, size - 3), buffer);
        DecodeHuffman1d(in, table, w, sink);
    } else {
        ByteReader in({data + 3, size - 3});
        DecodeRle(kind, in, table, w, sink);
    }
    for (const std::uint32_t p : out)
        if (p == 0x12345678u) std::abort();  // an element was never written
}

// Plain (uncompressed) decoding over bytes in memory. The first four bytes
// choose the width, the height, the format with the row order, and the read
// buffer's size (so rows split into pieces at every place); the rest is the
// pixel array. Afterwards every element must be defined.
inline void PlainKernel(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return;
    struct Format {
        PixelFormat format;
        std::uint16_t bits;
    };
    static constexpr Format kFormats[] = {{PixelFormat::Indexed1, 1},  {PixelFormat::Indexed2, 2},
                                          {PixelFormat::Indexed4, 4},  {PixelFormat::Indexed8, 8},
                                          {PixelFormat::Masked16, 16}, {PixelFormat::Bgr24, 24},
                                          {PixelFormat::Bgrx32, 32},   {PixelFormat::Masked32, 32},
                                          {PixelFormat::Rgba64, 64}};
    const Format f = kFormats[data[2] % std::size(kFormats)];
    BmpLayout layout;
    layout.width = 1 + data[0] % 96u;
    layout.height = 1 + data[1] % 64u;
    layout.topDown = (data[2] & 0x80) != 0;
    layout.bitCount = f.bits;
    layout.format = f.format;
    layout.masks = f.bits == 16 ? ChannelMasks{0xF800, 0x07E0, 0x001F, 0} : ChannelMasks{0xFF0000, 0xFF00, 0xFF, 0};
    layout.pixelOffset = 4;
    layout.stride = RowStride(layout.width, f.bits);
    std::vector<std::uint8_t> scratch(64 + data[3] * 16u);  // 64 to 4144 bytes: 8 pixels of any depth and more
    StreamReader in(std::span<const std::uint8_t>(data, size), scratch);
    PixelTable table;
    for (std::uint32_t i = 0; i < 256; ++i) table[i] = 0xFF000000u | i * 0x010101u;
    std::vector<std::uint32_t> out(std::size_t{layout.width} * layout.height, 0x12345678u);  // no decoder makes this
    DecodePixels(in, layout, table, ImageView{out.data(), layout.width, layout.height}, BestSimd());
    for (const std::uint32_t p : out)
        if (p == 0x12345678u) std::abort();  // an element was never written
}

}  // namespace tessaly::fuzz
