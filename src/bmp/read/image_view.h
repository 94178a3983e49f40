// Images of 32-bit pixels as the reading side sees them: width x height,
// top row first, rows packed. Views borrow memory; they own nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessaly {

struct ImageView {
    std::uint32_t* pixels = nullptr;
    std::size_t width = 0;
    std::size_t height = 0;

    [[nodiscard]] std::span<std::uint32_t> Row(std::size_t y) const { return {pixels + y * width, width}; }
};

struct ConstImageView {
    const std::uint32_t* pixels = nullptr;
    std::size_t width = 0;
    std::size_t height = 0;

    [[nodiscard]] std::span<const std::uint32_t> Row(std::size_t y) const { return {pixels + y * width, width}; }
};

}  // namespace tessaly
