// BmpCodec, the one module-wide codec object, and ImageInfo, the plug-in's own
// description of an image.
//
// Every operation answers an Outcome (shell/outcome.h): done, or the rule or
// system error that stopped it. Each exists twice: over a path, binding the
// file service (shell/codec_files.cpp), and over a byte source or sink
// (bmp/read, bmp/write, gray/), which knows no file and serves tests and
// fuzzing with bytes in memory. The named operations the host's commands
// stand for (ProbeBmpFile, LoadBmpFile, SaveBmp, SaveGrayBmp, IsGrayFile)
// keep the convention of 1 for success and 0 for failure, as folds of those
// outcomes. Operations write their outputs (an ImageInfo, the host's pixel
// buffer, a file) only once everything that can refuse has been checked; a
// refused operation leaves them as they were.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "bmp/read/bmp_layout.h"
#include "bmp/read/byte_reader.h"
#include "bmp/read/image_view.h"
#include "bmp/write/byte_writer.h"
#include "bmp/write/writer.h"
#include "shell/outcome.h"

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

// Where a gray load puts its levels: one byte per pixel, top row first. With
// a size, that is the buffer's, and a file of another size is refused;
// without one, the buffer holds the file's own width x height.
struct GrayTarget {
    std::uint8_t* levels = nullptr;
    std::optional<std::pair<std::size_t, std::size_t>> size;
};

// Limit: loads and saves stream pixel data through this many bytes of scratch,
// so neither holds a file buffer proportional to the image.
inline constexpr std::size_t kReadChunkBytes = 64 * 1024;
// Limit: a save written in the background packs into two halves of this many bytes.
inline constexpr std::size_t kSaveBandBytes = 4 * 1024 * 1024;

class BmpReader;

struct BmpCodec {
    // The headers and colour table of the last file the loader read.
    BITMAPFILEHEADER fileHeader;
    BITMAPINFOHEADER infoHeader;
    Palette palette;

    // ---- Over paths (the host's commands) ----

    // Fills x, y (0), width, height, bitCount and compression from the file's
    // headers; `info` is untouched on failure. Reads no codec state.
    [[nodiscard]] Outcome Probe(const char* path, ImageInfo& info) const;
    // Loads the file into `target`, top row first, scaled from the file's size
    // when that differs. Refused loads leave the target untouched; an I/O
    // error while reading the pixels (ReadFailed) leaves the rows decoded so far.
    [[nodiscard]] Outcome Load(const char* path, ImageView target);
    // Writes the request's pixels as a BMP file, replacing the destination
    // only once the whole file was written (shell/replacing_file.h); every
    // refusal comes before anything on disk is touched.
    [[nodiscard]] Outcome Save(const char* path, const SaveRequest& request);
    // Load and Save with the host's own values: a buffer and its size (NoTarget
    // when they make no image), a save form (SaveBitCount when there is none).
    [[nodiscard]] Outcome LoadHost(const char* path, void* pixels, std::int32_t width, std::int32_t height);
    [[nodiscard]] Outcome SaveAs(const char* path, std::optional<SaveFormat> format, std::int32_t width,
                                 std::int32_t height, const void* pixels);
    // Whether the file is a gray image: an 8-bit BMP that loads, whose colour
    // table is the gray ramp in every entry it declares, and whose colours are
    // shown as stored. NotGray (or the reason it does not load) when it is not.
    [[nodiscard]] Outcome CheckGray(const char* path);
    // Copies a gray file's levels into `target`: each the level a load shows
    // for that pixel. Files that are not gray leave the target untouched.
    [[nodiscard]] Outcome LoadGray(const char* path, GrayTarget target);
    // What Save would meet before writing: the request's refusals, then the
    // destination's, by the same rules, creating and changing nothing. For a
    // host that tells its user why a save failed.
    [[nodiscard]] Outcome CheckSave(const char* path, const SaveRequest& request);

    // The same operations with the convention of 1 for success and 0 for failure.
    [[nodiscard]] int ProbeBmpFile(const char* path, ImageInfo& info) const { return Folded(Probe(path, info)); }
    [[nodiscard]] int LoadBmpFile(const char* path, void* pixels, std::int32_t width, std::int32_t height);
    // info.gray 1: one byte per pixel saved as an 8-bit gray file; else 32-bit pixels as info.bitCount asks.
    [[nodiscard]] int SaveBmp(const char* path, ImageInfo info, const void* pixels);
    [[nodiscard]] int SaveGrayBmp(const char* path, const void* pixels, std::int32_t width, std::int32_t height);
    [[nodiscard]] int IsGrayFile(const char* path) { return Folded(CheckGray(path)); }

    // ---- Over bytes (no file) ----

    [[nodiscard]] static Outcome ProbeFrom(const ByteSource& source, ImageInfo& info);
    [[nodiscard]] Outcome LoadFrom(BmpReader& reader, ImageView target);
    [[nodiscard]] Outcome SaveTo(const ByteSink& sink, const SaveRequest& request);
    // Why `reader`'s file is not a gray image (Ok when it is).
    [[nodiscard]] static Outcome GrayCheck(const BmpReader& reader);
    [[nodiscard]] static Outcome LoadGrayFrom(BmpReader& reader, GrayTarget target);

    // Scratch for streaming pixel data in and out; its content means nothing between calls.
    std::array<std::uint8_t, kReadChunkBytes> scratch;
    // The band of a save whose file is written in the background (two halves:
    // one filled while the other is written), kept once made so later saves
    // find its pages touched; its content means nothing between calls.
    std::vector<std::uint8_t> saveBand;
    // The resampler's working memory, kept between scaled loads (up to a few MiB) so
    // each load does not pay for fresh pages; its content means nothing between calls.
    std::vector<std::byte> workspace;
};

// The module's one codec, constructed zero-filled before the first call.
BmpCodec& Codec();

}  // namespace tessaly
