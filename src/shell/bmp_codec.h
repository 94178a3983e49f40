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
#include <cstdint>

#include "bmp/read/bmp_layout.h"

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

struct BmpCodec {
    // The headers and colour table of the last file the loader read.
    BITMAPFILEHEADER fileHeader;
    BITMAPINFOHEADER infoHeader;
    Palette palette;

    // Fills x, y (0), width, height, bitCount and compression from the file's
    // headers; `info` is untouched on failure. Reads no codec state.
    [[nodiscard]] int ProbeBmpFile(const char* path, ImageInfo& info) const;

    // Loads the file into `pixels`, width x height 32-bit pixels (B, G, R, A),
    // top row first, scaled from the file's size when that differs. The buffer
    // is untouched on failure.
    [[nodiscard]] int LoadBmpFile(const char* path, void* pixels, std::int32_t width, std::int32_t height);

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

    // 1 when the file is an 8-bit BMP whose colour table is the gray ramp.
    [[nodiscard]] int IsGrayFile(const char* path) const;
    [[nodiscard]] int HasGrayPalette(const char* path) const;
    // Copies a gray file's gray levels, one byte per pixel, top row first, into
    // `destination` (the file's width x height bytes). 1 when the destination
    // was filled; 0, with the destination untouched, when the file is not an
    // 8-bit BMP with the gray ramp or cannot be decoded.
    [[nodiscard]] int LoadGray(const char* path, void* destination);

    // Scratch for streaming pixel data in and out; its content means nothing between calls.
    std::array<std::uint8_t, kReadChunkBytes> scratch;
};

// The module's one codec, constructed zero-filled before the first call.
BmpCodec& Codec();

}  // namespace tessaly
