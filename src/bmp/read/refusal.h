// Why a file or a request is refused. Every rule that refuses returns one of
// these, so tests and the reference host can tell which rule it was; the
// boundary folds them to the host's 0 or 1.
#pragma once

#include <cstdint>

namespace tessaly {

enum class Refusal : std::uint8_t {
    None,  // not refused
    // The file cannot be read as a BMP file.
    CannotOpen,
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
};

// A short text for the reason, in the words a user reads.
constexpr const char* RefusalText(Refusal r) {
    switch (r) {
    case Refusal::None: return "loads";
    case Refusal::CannotOpen: return "cannot be opened as a regular file";
    case Refusal::NotBmp: return "not a BMP file";
    case Refusal::HeaderCut: return "header cut short";
    case Refusal::NoPixels: return "no pixels (width or height zero or negative)";
    case Refusal::TooLarge: return "too large (more than 2^32 - 1 bytes of 32-bit pixels)";
    case Refusal::BitCount: return "unsupported bit count";
    case Refusal::Compression: return "unknown compression";
    case Refusal::Jpeg: return "embedded JPEG stream";
    case Refusal::Png: return "embedded PNG stream";
    case Refusal::CompressionDepth: return "compression does not fit the bit count";
    case Refusal::Masks: return "invalid bit masks";
    case Refusal::TopDownRle: return "top-down RLE or Huffman stream";
    case Refusal::TableCut: return "colour table cut short";
    case Refusal::PixelsMissing: return "pixel data missing";
    case Refusal::PixelsCut: return "pixel data cut short";
    case Refusal::NoTarget: return "no target size (width and height must be positive)";
    case Refusal::ScaledTooLarge: return "declares too many pixels for a scaled load of a file this small";
    case Refusal::ScaleMemory: return "target too wide to scale to";
    case Refusal::NotGray: return "not an 8-bit gray image";
    case Refusal::GraySize: return "requested size differs from the file's";
    }
    return "refused";
}

}  // namespace tessaly
