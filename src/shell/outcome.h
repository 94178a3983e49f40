// What became of an operation: done, or the reason it was not. Every
// operation (probe, loads, gray test and load, saves) answers one of these,
// and so does the file service for its opens, reads and writes; the boundary
// folds them to the host's result in one place (dispatch.h), so tests and the
// reference host can tell which rule or which system error it was.
#pragma once

#include <cstdint>

namespace tessaly {

enum class Reason : std::uint8_t {
    None,  // done
    // The file cannot be read as a BMP file.
    CannotOpen,  // systemError says why
    ReadFailed,  // an I/O error while reading; systemError says which
    NotBmp,
    HeaderCut,
    // The headers describe pixels this reader does not decode.
    NoPixels,
    TooLarge,
    BitCount,
    Compression,
    Jpeg,
    Png,
    CompressionDepth,
    Masks,
    TopDownRle,
    // The file does not hold what its headers promise.
    TableCut,
    PixelsMissing,
    PixelsCut,
    // The request cannot be met for this file.
    NoTarget,
    ScaledTooLarge,
    ScaleMemory,
    NotGray,
    GraySize,
    // A save request that makes no file.
    SaveBitCount,
    SaveSize,
    SaveTooLarge,
    // A save's destination.
    NotAFile,       // a directory, socket or block device
    ReadOnly,       // no write permission bit for anyone
    Unreadable,     // must be rewritten in place, and the old bytes cannot be read to keep them aside
    FileSizeLimit,  // over the process's file-size limit
    NoSpace,        // over the free space the file system reports
    CannotWrite,    // systemError says why
    WriteFailed,    // systemError says why
    // Nothing about the input: memory ran out, or a bug.
    Internal,
};

struct [[nodiscard]] Outcome {
    Reason reason = Reason::None;
    int systemError = 0;  // errno (Windows errors are mapped to errno values), for the reasons that say so

    constexpr Outcome() = default;
    constexpr Outcome(Reason r, int error = 0) : reason(r), systemError(error) {}  // NOLINT: a reason is an outcome
    [[nodiscard]] constexpr bool Ok() const { return reason == Reason::None; }
    friend constexpr bool operator==(const Outcome& a, const Outcome& b) { return a.reason == b.reason; }
    friend constexpr bool operator==(const Outcome& a, Reason r) { return a.reason == r; }
};

// 1 for success and 0 for failure: the convention of the codec's named operations.
constexpr int Folded(const Outcome& o) { return o.Ok() ? 1 : 0; }

// A short text for the reason, in the words a user reads. Reasons that carry a
// system error are better told with the system's words for it.
constexpr const char* ReasonText(Reason r) {
    switch (r) {
    case Reason::None: return "loads";
    case Reason::CannotOpen: return "cannot be opened as a regular file";
    case Reason::ReadFailed: return "read error";
    case Reason::NotBmp: return "not a BMP file";
    case Reason::HeaderCut: return "header cut short";
    case Reason::NoPixels: return "no pixels (width or height zero or negative)";
    case Reason::TooLarge: return "too large (more than 2^32 - 1 bytes of 32-bit pixels)";
    case Reason::BitCount: return "unsupported bit count";
    case Reason::Compression: return "unknown compression";
    case Reason::Jpeg: return "embedded JPEG stream";
    case Reason::Png: return "embedded PNG stream";
    case Reason::CompressionDepth: return "compression does not fit the bit count";
    case Reason::Masks: return "invalid bit masks";
    case Reason::TopDownRle: return "top-down RLE or Huffman stream";
    case Reason::TableCut: return "colour table cut short";
    case Reason::PixelsMissing: return "pixel data missing";
    case Reason::PixelsCut: return "pixel data cut short";
    case Reason::NoTarget: return "no target size (width and height must be positive)";
    case Reason::ScaledTooLarge: return "declares too many pixels for a scaled load of a file this small";
    case Reason::ScaleMemory: return "target too wide to scale to";
    case Reason::NotGray: return "not an 8-bit gray image";
    case Reason::GraySize: return "requested size differs from the file's";
    case Reason::SaveBitCount: return "unsupported bit count for a save (32, 24 or 8)";
    case Reason::SaveSize: return "no pixels to save (width and height must be at least 1)";
    case Reason::SaveTooLarge: return "too large for a BMP file (over 4 GiB)";
    case Reason::NotAFile: return "not a file (a directory, socket or block device)";
    case Reason::ReadOnly: return "read-only file (no write permission)";
    case Reason::Unreadable: return "cannot be read, so its old bytes could not be kept while it is rewritten";
    case Reason::FileSizeLimit: return "larger than the process's file-size limit";
    case Reason::NoSpace: return "No space left on device";
    case Reason::CannotWrite: return "cannot be written";
    case Reason::WriteFailed: return "write error";
    case Reason::Internal: return "internal error (out of memory)";
    }
    return "refused";
}
constexpr const char* ReasonText(const Outcome& o) { return ReasonText(o.reason); }

}  // namespace tessaly
