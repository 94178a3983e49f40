// The vector variants of the writer's row packers and its transparency check
// (pack_x86.cpp), each giving exactly its plain twin's answer. Declared only where they are built.
#pragma once

#include <cstdint>
#include <span>

#include "shell/cpu.h"

#if defined(TESSALY_X86_DISPATCH)

namespace tessaly {

void PackRowBgr24Ssse3(std::span<const std::uint32_t> src, std::span<std::uint8_t> dst);
void PackRowBgr24Avx2(std::span<const std::uint32_t> src, std::span<std::uint8_t> dst);
bool CarriesTransparencySse2(std::span<const std::uint32_t> pixels);
bool CarriesTransparencyAvx2(std::span<const std::uint32_t> pixels);

}  // namespace tessaly

#endif
