// BmpCodec, the one module-wide codec object, and ImageInfo, the plug-in's own
// description of an image.
//
// Operations return 1 for success and 0 for failure, and write their outputs
// (an ImageInfo, the host's pixel buffer, a file) only once everything that can
// fail has been checked; a failing operation leaves them as they were. Errors
// raised by the file service or the allocator propagate as exceptions to the
// boundary, which turns them into the command's failure result.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bmp/read/bmp_layout.h"
#include "bmp/read/refusal.h"

namespace tessaly {

struct ImageInfo {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;  // as biHeight: negative for a top-down file
    std::uint8_t bitCount = 0;
    std::uint32_t compression = 0;
    std::int32_t gray = 0;    // 1 selects the writer's one-byte-per-pixel gray layout
};

// Limit: loads and saves stream pixel data through this many bytes of scratch,
// so neither holds a file buffer proportional to the image.
inline constexpr std::size_t kReadChunkBytes = 64 * 1024;

class BmpReader;

struct BmpCodec {
    // The headers and colour table of the last file the loader read.
    BITMAPFILEHEADER fileHeader;
    BITMAPINFOHEADER infoHeader;
    Palette palette;

    // Fills x, y (0), width, height, bitCount and compression from the file's
    // headers; `info` is untouched on failure. Reads no codec state.
    [[nodiscard]] int ProbeBmpFile(const char* path, ImageInfo& info) const;

    // Loads the file into `pixels`, width x height 32-bit pixels (B, G, R, A),
    // top row first, scaled from the file's size when that differs. 1 on
    // success; 0, with the buffer untouched, when refused. An I/O error while
    // reading the pixels throws FileError (the rows decoded so far stay).
    [[nodiscard]] int LoadBmpFile(const char* path, void* pixels, std::int32_t width, std::int32_t height);
    // The same, saying which rule refused.
    [[nodiscard]] Refusal LoadBmp(const char* path, void* pixels, std::int32_t width, std::int32_t height);
    // The same from a file already opened (or bytes in memory).
    [[nodiscard]] Refusal LoadFrom(BmpReader& reader, void* pixels, std::int32_t width, std::int32_t height);

    // Writes `pixels` (width x height, top row first) as a BMP file of
    // info.bitCount bits (8, 24 or 32; RLE8 for 8 bits with compression 1), or
    // as a gray file when info.gray is 1. Refused before anything on disk is
    // touched: other bit counts, a side below 1, a file over 4 GiB or over the
    // process's limits. The destination is replaced as ReplacingFile
    // (shell/file.h) describes: only once the whole file was written, and on
    // failure left exactly as it was.
    [[nodiscard]] int SaveBmp(const char* path, ImageInfo info, const void* pixels);
    // Writes one byte per pixel as an 8-bit file with the gray ramp, as SaveBmp does.
    [[nodiscard]] int SaveGrayBmp(const char* path, const void* pixels, std::int32_t width,
                                  std::int32_t height);

    // 1 when the file is a gray image: an 8-bit BMP that loads, whose colour
    // table is the gray ramp in every entry it declares, and whose colours are
    // shown as stored (a colour space that converts them makes it a colour file).
    [[nodiscard]] int IsGrayFile(const char* path);
    // Copies a gray file's gray levels, one byte per pixel, top row first, into
    // `destination`: the file's width x height bytes, each the level a load
    // shows for that pixel. When the request's width and height are both
    // positive they are the buffer's size, and a file of another size is
    // refused. Refused files leave the destination untouched.
    [[nodiscard]] Refusal LoadGray(const char* path, void* destination, std::int32_t width, std::int32_t height);
    // Why `reader`'s file is not a gray image (Refusal::None when it is).
    [[nodiscard]] static Refusal GrayCheck(const BmpReader& reader);

    // Scratch for streaming pixel data in and out; its content means nothing between calls.
    std::array<std::uint8_t, kReadChunkBytes> scratch;
    // The resampler's working memory, kept between scaled loads (up to a few MiB) so
    // each load does not pay for fresh pages; its content means nothing between calls.
    std::vector<std::byte> workspace;
};

// The module's one codec, constructed zero-filled before the first call.
BmpCodec& Codec();

}  // namespace tessaly
