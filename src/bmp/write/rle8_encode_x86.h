// The vector variants of the indexer's classifier, its search for unknown
// classes and the repeat bits (rle8_encode_x86.cpp), each
// giving exactly its plain twin's bytes. Declared only where they are built.
#pragma once

#include <cstdint>
#include <span>

#include "bmp/write/encode.h"
#include "shell/cpu.h"

#if defined(TESSALY_X86_DISPATCH)

namespace tessaly {

void ClassifyRowSse2(std::span<const std::uint32_t> src, std::span<std::uint8_t> dst);
void ClassifyRowAvx2(std::span<const std::uint32_t> src, std::span<std::uint8_t> dst);
void RepeatBitsSse2(std::span<const std::uint8_t> line, std::uint64_t* bits);
void RepeatBitsAvx2(std::span<const std::uint8_t> line, std::uint64_t* bits);
std::size_t FindUnknownAvx2(std::span<const std::uint8_t> classes, const ClassSet& known);
std::size_t FindUnknownVbmi(std::span<const std::uint8_t> classes, const ClassSet& known);

}  // namespace tessaly

#endif
