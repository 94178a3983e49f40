// The BMP writer: 8-bit gray, 8-bit indexed (uncompressed or RLE8), 24- and
// 32-bit files, in two steps. PrepareSave plans the file (its form and every
// size, the RLE8 stream's length included, and the palette of an 8-bit save)
// without writing anything, so every refusal comes before a destination is
// touched; WriteSave then writes exactly the planned bytes to a sink, the
// headers and the rows packed a band at a time into one reused buffer. Where
// the bytes go (a file being replaced, memory) is the sink's business.
#pragma once

#include <cstdint>
#include <span>

#include "bmp/write/byte_writer.h"
#include "bmp/write/encode.h"
#include "shell/outcome.h"

namespace tessaly {

struct SaveRequest {
    SaveFormat format = SaveFormat::Bgra32;
    std::int32_t width = 0, height = 0;
    // width x height pixels, top row first, rows packed: 32-bit B, G, R, A, or
    // one byte each for the gray form. Borrowed for the call.
    const void* pixels = nullptr;
};

// A save worked out before anything is written.
struct PreparedSave {
    SavePlan plan;
    PaletteIndexer indexer;  // the palette of an 8-bit save from 32-bit pixels
    const void* pixels = nullptr;
};

// Plans `request` into `out`: SaveSize for a side below 1 (no loadable file
// has one), SaveTooLarge for a file bfSize cannot describe or pixels the
// platform cannot index. Reads the pixels only for an 8-bit form from 32-bit
// pixels (the palette, and an RLE8 stream's length).
[[nodiscard]] Outcome PrepareSave(const SaveRequest& request, PreparedSave& out);

// Writes the prepared file, exactly plan.fileSize bytes, to `sink` through
// `band` (scratch of any size of a few KiB or more). WriteFailed when the sink
// fails; what it received by then is the sink's to keep or drop.
[[nodiscard]] Outcome WriteSave(const PreparedSave& save, const ByteSink& sink, std::span<std::uint8_t> band);

}  // namespace tessaly
