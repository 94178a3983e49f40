#include "image_files.h"

#include <cstdio>
#include <fstream>
#include <memory>

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace tessaly_cli {

bool EndsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

namespace {

bool WriteBytes(const std::string& path, const void* data, std::size_t n, const std::string& prefix = {}) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(prefix.data(), static_cast<std::streamsize>(prefix.size()));
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
    out.close();
    return !out.fail();
}

}  // namespace

bool WritePixels(const std::string& path, const std::vector<std::uint32_t>& pixels, int width, int height) {
    if (EndsWith(path, ".raw")) return WriteBytes(path, pixels.data(), pixels.size() * 4);
    std::vector<std::uint8_t> rgba(pixels.size() * 4);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        const std::uint32_t p = pixels[i];
        rgba[4 * i] = static_cast<std::uint8_t>(p >> 16);
        rgba[4 * i + 1] = static_cast<std::uint8_t>(p >> 8);
        rgba[4 * i + 2] = static_cast<std::uint8_t>(p);
        rgba[4 * i + 3] = static_cast<std::uint8_t>(p >> 24);
    }
    return stbi_write_png(path.c_str(), width, height, 4, rgba.data(), width * 4) != 0;
}

bool WriteGray(const std::string& path, const std::vector<std::uint8_t>& gray, int width, int height) {
    if (EndsWith(path, ".png")) return stbi_write_png(path.c_str(), width, height, 1, gray.data(), width) != 0;
    const std::string header = "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    return WriteBytes(path, gray.data(), gray.size(), header);
}

bool ReadPgm(const std::string& path, std::vector<std::uint8_t>& gray, int& width, int& height, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::string magic;
    long w = 0, h = 0, maxval = 0;
    in >> magic;
    // Comments may stand between the fields.
    auto field = [&in](long& v) {
        while (in >> std::ws && in.peek() == '#') in.ignore(1 << 20, '\n');
        in >> v;
    };
    field(w);
    field(h);
    field(maxval);
    if (magic != "P5" || !in || w < 0 || h < 0 || w > 65535 || h > 65535 || maxval <= 0 || maxval > 255) {
        error = path + " is not a binary 8-bit PGM (P5)";
        return false;
    }
    in.get();  // the single white-space byte before the pixels
    gray.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0);
    in.read(reinterpret_cast<char*>(gray.data()), static_cast<std::streamsize>(gray.size()));
    if (static_cast<std::size_t>(in.gcount()) != gray.size()) {
        error = path + " ends before its pixels do";
        return false;
    }
    width = static_cast<int>(w);
    height = static_cast<int>(h);
    return true;
}

}  // namespace tessaly_cli
