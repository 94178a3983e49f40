// Row kernels for uncompressed pixel data: each expands dst.size() pixels from
// the stored bytes in src. They trust their spans (src holds at least the
// bytes of dst.size() pixels at the kernel's depth), read nothing else and
// allocate nothing. Every pixel they make has alpha 0xFF, except where an
// alpha mask supplies it.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "bmp/read/bmp_layout.h"
#include "bmp/read/header.h"
#include "shell/cpu.h"

namespace tessaly {

// 256 ready 32-bit pixels, one per palette entry, so no loop touches an RGBQUAD.
using PixelTable = std::array<std::uint32_t, 256>;

PixelTable MakePixelTable(const Palette& palette);

// For 1- and 4-bit data: the pixels of every possible byte (8 or 2 of them),
// built once per load so a row costs one lookup per stored byte.
using ByteTable1 = std::array<std::array<std::uint32_t, 8>, 256>;
using ByteTable4 = std::array<std::array<std::uint32_t, 2>, 256>;
void MakeByteTable(const PixelTable& table, ByteTable1& out);
void MakeByteTable(const PixelTable& table, ByteTable4& out);

void ExpandIndexed1(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst, const ByteTable1& table);
void ExpandIndexed2(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst, const PixelTable& table);
void ExpandIndexed4(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst, const ByteTable4& table);
void ExpandIndexed8(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst, const PixelTable& table);
// 24-bit rows: the plain twin, with SSSE3 and AVX2 variants (cpu.h).
using ExpandBgr24Fn = void (*)(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst);
void ExpandBgr24Scalar(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst);
extern const KernelFamily<ExpandBgr24Fn> kExpandBgr24;
void ExpandBgrx32(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst);

// Turns masked 16- or 32-bit pixels into 8-bit channels: a channel of n <= 10
// bits holding v becomes round(v * 255 / (2^n - 1)); a wider channel keeps its
// top 8 bits, as common readers and the BMP suite's references do. A zero
// colour mask gives 0, a zero alpha mask gives 0xFF. Masks must have passed
// MasksAreValid.
class MaskDecoder {
public:
    explicit MaskDecoder(const ChannelMasks& masks);
    [[nodiscard]] std::uint32_t Pixel(std::uint32_t stored) const {
        return static_cast<std::uint32_t>(channels_[0].Scale(stored)) |
               static_cast<std::uint32_t>(channels_[1].Scale(stored)) << 8 |
               static_cast<std::uint32_t>(channels_[2].Scale(stored)) << 16 |
               static_cast<std::uint32_t>(channels_[3].Scale(stored)) << 24;
    }

private:
    struct Channel {
        std::uint32_t mask = 0;
        unsigned shift = 0;
        std::uint64_t max = 0;  // 2^bits - 1; 0 for an absent channel
        std::uint8_t absent = 0;
        unsigned dropBits = 0;  // low bits a channel wider than 10 bits drops
        std::array<std::uint8_t, 1024> table{};
        [[nodiscard]] std::uint8_t Scale(std::uint32_t stored) const {
            if (max == 0) return absent;
            const std::uint32_t v = (stored & mask) >> shift;
            return table[v >> dropBits];
        }
    };
    std::array<Channel, 4> channels_;  // blue, green, red, alpha
};

void ExpandMasked16(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst, const MaskDecoder& masks);
void ExpandMasked32(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst, const MaskDecoder& masks);

}  // namespace tessaly
