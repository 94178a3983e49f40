// The vector variants of the indexer's classifier (rle8_encode_x86.cpp), each
// giving exactly its plain twin's bytes. Declared only where they are built.
#pragma once

#include <cstdint>
#include <span>

#include "shell/cpu.h"

#if defined(TESSALY_X86_DISPATCH)

namespace tessaly {

void ClassifyRowSse2(std::span<const std::uint32_t> src, std::span<std::uint8_t> dst);
void ClassifyRowAvx2(std::span<const std::uint32_t> src, std::span<std::uint8_t> dst);

}  // namespace tessaly

#endif
