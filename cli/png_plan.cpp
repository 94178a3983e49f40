// The PNG plan; see png_plan.h.
#include "png_plan.h"

#include <algorithm>
#include <bitset>

namespace tessaly_cli {
namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

std::size_t Slot(std::uint32_t colour) { return (colour * 0x9E3779B1u) >> 22; }  // 10 bits: 1024 slots

// The slot that holds `colour`, or the empty slot where it would go.
std::size_t SlotOf(const PngPlan& plan, std::uint32_t colour) {
    std::size_t s = Slot(colour);
    while (plan.slots[s] >= 0 && plan.keys[s] != colour) s = (s + 1) % plan.slots.size();
    return s;
}

// Gives `colour` the next palette index unless it has one.
void Add(PngPlan& plan, std::uint32_t colour) {
    const std::size_t s = SlotOf(plan, colour);
    if (plan.slots[s] >= 0) return;
    plan.keys[s] = colour;
    plan.slots[s] = static_cast<std::int16_t>(plan.palette.size());
    plan.palette.push_back(colour);
}

// Collects the picture's colours in order of first appearance; false once
// there are more than 256 (the table, 1024 slots, is never more than a quarter full).
bool CollectPalette(const Picture& picture, PngPlan& plan) {
    plan.slots.fill(-1);
    plan.palette.clear();
    for (std::size_t i = 0, n = picture.width * picture.height; i < n; ++i) {
        const std::uint32_t c = picture.pixels[i];
        if (i > 0 && c == picture.pixels[i - 1]) continue;
        Add(plan, c);
        if (plan.palette.size() > 256) return false;
    }
    return true;
}

// The smallest depth at which every used level is a multiple of 255 / (2^depth - 1).
unsigned GrayDepth(const Picture& picture) {
    std::bitset<256> used;
    for (std::size_t y = 0; y < picture.height; ++y)
        for (std::size_t x = 0; x < picture.width; ++x)
            used.set(picture.pixels ? (picture.pixels[y * picture.width + x] & 0xFF) : picture.gray[y * picture.width + x]);
    for (const unsigned depth : {1u, 2u, 4u}) {
        const unsigned step = 255 / ((1u << depth) - 1);
        bool fits = true;
        for (unsigned v = 0; v < 256 && fits; ++v) fits = !used[v] || v % step == 0;
        if (fits) return depth;
    }
    return 8;
}

}  // namespace

PngPlan PlanPng(const Picture& picture) {
    PngPlan plan;
    const PictureTraits traits = Examine(picture);
    if (traits.gray && traits.opaque) {
        plan.colour = PngColour::Gray;
        plan.bitDepth = GrayDepth(picture);
    } else if (CollectPalette(picture, plan)) {
        plan.colour = PngColour::Palette;
        // tRNS covers the palette up to its last translucent entry: put those first.
        std::stable_partition(plan.palette.begin(), plan.palette.end(), [](std::uint32_t c) { return c >> 24 != 0xFF; });
        plan.translucent = static_cast<std::size_t>(
            std::count_if(plan.palette.begin(), plan.palette.end(), [](std::uint32_t c) { return c >> 24 != 0xFF; }));
        std::vector<std::uint32_t> order;
        order.swap(plan.palette);
        plan.slots.fill(-1);
        for (const std::uint32_t c : order) Add(plan, c);
        const std::size_t n = plan.palette.size();
        plan.bitDepth = n <= 2 ? 1 : n <= 4 ? 2 : n <= 16 ? 4 : 8;
    } else {
        plan.palette.clear();
        plan.colour = traits.gray ? PngColour::GrayAlpha : traits.opaque ? PngColour::Rgb : PngColour::Rgba;
    }
    const std::size_t channels = plan.colour == PngColour::GrayAlpha ? 2
                                 : plan.colour == PngColour::Rgb     ? 3
                                 : plan.colour == PngColour::Rgba    ? 4
                                                                     : 1;
    plan.rowBytes = (picture.width * channels * plan.bitDepth + 7) / 8;
    plan.bytesPerPixel = std::max<std::size_t>(1, channels * plan.bitDepth / 8);
    return plan;
}

std::uint32_t PngCrc(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t b : bytes) crc = kCrcTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return crc;
}

void PackPngRow(const Picture& picture, const PngPlan& plan, std::size_t y, std::uint8_t* out) {
    const std::size_t w = picture.width;
    const std::uint32_t* src = picture.pixels ? picture.pixels + y * w : nullptr;
    const std::uint8_t* gray = picture.gray ? picture.gray + y * w : nullptr;
    if (plan.bitDepth < 8 || plan.colour == PngColour::Palette || plan.colour == PngColour::Gray) {
        // One sample per pixel, packed from the high bits: a gray level scaled down, or a palette index.
        const unsigned depth = plan.bitDepth, step = 255 / ((1u << depth) - 1);
        std::fill_n(out, plan.rowBytes, std::uint8_t{0});
        for (std::size_t x = 0; x < w; ++x) {
            unsigned v;
            if (plan.colour == PngColour::Palette)
                v = static_cast<unsigned>(plan.slots[SlotOf(plan, src[x])]);  // every colour has an index
            else
                v = (src ? (src[x] & 0xFF) : gray[x]) / step;
            const std::size_t bit = x * depth;
            out[bit / 8] = static_cast<std::uint8_t>(out[bit / 8] | v << (8 - depth - bit % 8));
        }
        return;
    }
    for (std::size_t x = 0; x < w; ++x) {
        const std::uint32_t p = src[x];
        const auto r = static_cast<std::uint8_t>(p >> 16), g = static_cast<std::uint8_t>(p >> 8),
                   b = static_cast<std::uint8_t>(p), a = static_cast<std::uint8_t>(p >> 24);
        switch (plan.colour) {
        case PngColour::GrayAlpha: out[0] = r, out[1] = a, out += 2; break;
        case PngColour::Rgb: out[0] = r, out[1] = g, out[2] = b, out += 3; break;
        default: out[0] = r, out[1] = g, out[2] = b, out[3] = a, out += 4; break;
        }
    }
}

}  // namespace tessaly_cli
