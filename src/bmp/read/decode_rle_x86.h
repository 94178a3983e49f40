// The vector variants of the RLE decoders' stretch and expand kernels
// (decode_rle_x86.cpp), each giving exactly its plain twin's result: the same
// commands taken, the same indices and pixels. Declared only where they are built.
#pragma once

#include <cstdint>
#include <span>

#include "bmp/read/decode_rle.h"
#include "shell/cpu.h"

#if defined(TESSALY_X86_DISPATCH)

namespace tessaly::rle {

RleStretch RleStretch8Ssse3(std::span<const std::uint8_t> stream, std::size_t budget, std::uint8_t* indices);
RleStretch RleStretch4Ssse3(std::span<const std::uint8_t> stream, std::size_t budget, std::uint8_t* indices);
void ExpandNibbleIndicesSsse3(std::span<const std::uint8_t> indices, std::span<std::uint32_t> dst,
                              const PixelTable& table, bool streamed);
void ExpandNibbleIndicesAvx2(std::span<const std::uint8_t> indices, std::span<std::uint32_t> dst,
                             const PixelTable& table, bool streamed);
void ExpandNibbleIndicesAvx512(std::span<const std::uint8_t> indices, std::span<std::uint32_t> dst,
                               const PixelTable& table, bool streamed);
void ExpandIndicesVbmi(std::span<const std::uint8_t> indices, std::span<std::uint32_t> dst, const PixelTable& table,
                       bool streamed);

}  // namespace tessaly::rle

#endif
