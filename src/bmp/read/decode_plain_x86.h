// The vector variants of the row kernels (decode_plain_x86.cpp), each giving
// exactly its plain twin's pixels. Declared only where they are built.
#pragma once

#include <cstdint>
#include <span>

#include "shell/cpu.h"

#if defined(TESSALY_X86_DISPATCH)

namespace tessaly {

void ExpandBgr24Ssse3(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst);
void ExpandBgr24Avx2(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst);

}  // namespace tessaly

#endif
