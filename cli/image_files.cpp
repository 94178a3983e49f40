// The host's image files; see image_files.h.
#include "image_files.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

namespace tessaly_cli {
namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool Put(std::FILE* out, const void* data, std::size_t n, std::string& error) {
    if (n == 0 || std::fwrite(data, 1, n, out) == n) return true;
    error = errno != 0 ? std::strerror(errno) : "write error";
    return false;
}

// Rows of `picture` converted by `convert(row of source, y, out)` into rows of
// `rowBytes`, each written as it is made.
template <class Convert>
bool PutRows(std::FILE* out, const Picture& picture, std::size_t rowBytes, std::string& error, Convert convert) {
    std::vector<std::uint8_t> row(rowBytes);
    for (std::size_t y = 0; y < picture.height; ++y) {
        convert(y, row.data());
        if (!Put(out, row.data(), row.size(), error)) return false;
    }
    return true;
}

// One row's samples in PNM order: gray, gray and alpha, R G B, or R G B A.
void PutSamples(const Picture& picture, std::size_t y, std::size_t channels, std::uint8_t* out) {
    const std::size_t w = picture.width;
    for (std::size_t x = 0; x < w; ++x, out += channels) {
        const std::uint32_t p = picture.pixels ? picture.pixels[y * w + x] : 0xFF000000u | picture.gray[y * w + x] * 0x010101u;
        const auto r = static_cast<std::uint8_t>(p >> 16), g = static_cast<std::uint8_t>(p >> 8),
                   b = static_cast<std::uint8_t>(p), a = static_cast<std::uint8_t>(p >> 24);
        switch (channels) {
        case 1: out[0] = r; break;
        case 2: out[0] = r, out[1] = a; break;
        case 3: out[0] = r, out[1] = g, out[2] = b; break;
        default: out[0] = r, out[1] = g, out[2] = b, out[3] = a; break;
        }
    }
}

bool WritePnm(std::FILE* out, ImageType type, const Picture& picture, std::string& error) {
    const std::string w = std::to_string(picture.width), h = std::to_string(picture.height);
    std::size_t channels = 0;
    std::string header;
    if (type == ImageType::Pam) {
        static const char* const kTuples[] = {"GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", "RGB_ALPHA"};
        const PictureTraits traits = Examine(picture);
        channels = (traits.gray ? 1u : 3u) + (traits.opaque ? 0u : 1u);
        header = "P7\nWIDTH " + w + "\nHEIGHT " + h + "\nDEPTH " + std::to_string(channels) +
                 "\nMAXVAL 255\nTUPLTYPE " + kTuples[channels - 1] + "\nENDHDR\n";
    } else if (const std::string why = CannotHold(type, picture); !why.empty()) {
        error = why;
        return false;
    } else {
        channels = type == ImageType::Pgm ? 1 : 3;
        header = (type == ImageType::Pgm ? "P5\n" : "P6\n") + w + " " + h + "\n255\n";
    }
    return Put(out, header.data(), header.size(), error) &&
           PutRows(out, picture, picture.width * channels, error,
                   [&](std::size_t y, std::uint8_t* row) { PutSamples(picture, y, channels, row); });
}

}  // namespace

std::string OverPixelLimit(std::uint64_t width, std::uint64_t height, std::uint64_t maxPixels) {
    const std::uint64_t pixels = width * height;  // each side below 2^32, so no overflow
    if (pixels <= maxPixels) return {};
    return std::to_string(width) + " x " + std::to_string(height) + " = " + std::to_string(pixels) +
           " pixels, over the host's limit of " + std::to_string(maxPixels) + " (--max-pixels N raises it)";
}

PictureTraits Examine(const Picture& picture) {
    if (!picture.pixels) return {};
    std::uint32_t notOpaque = 0, notGray = 0;
    for (std::size_t y = 0; y < picture.height; ++y) {
        const std::uint32_t* row = picture.pixels + y * picture.width;
        for (std::size_t x = 0; x < picture.width; ++x) {
            const std::uint32_t p = row[x];
            notOpaque |= ~p & 0xFF000000u;
            notGray |= (p ^ (p >> 8)) & 0xFFFFu;  // (R ^ G) << 8 | (G ^ B)
        }
        if (notOpaque && notGray) break;
    }
    return {notOpaque == 0, notGray == 0};
}

std::string CannotHold(ImageType type, const Picture& picture) {
    if (type != ImageType::Pgm && type != ImageType::Ppm) return {};
    const PictureTraits traits = Examine(picture);
    if (!traits.opaque)
        return std::string("the picture has transparent pixels and ") + (type == ImageType::Pgm ? "PGM" : "PPM") +
               " has no alpha: use .pam or .png";
    if (type == ImageType::Pgm && !traits.gray)
        return "the picture has colour and PGM holds gray levels only: use .ppm, .pam or .png";
    return {};
}

std::optional<ImageType> ImageTypeOfWord(const std::string& word) {
    static const std::array<std::pair<const char*, ImageType>, 5> kTypes = {{
        {"png", ImageType::Png}, {"raw", ImageType::Raw}, {"pgm", ImageType::Pgm},
        {"ppm", ImageType::Ppm}, {"pam", ImageType::Pam},
    }};
    const std::string lower = Lower(word);
    for (const auto& [name, type] : kTypes)
        if (lower == name) return type;
    return std::nullopt;
}

std::optional<ImageType> ImageTypeOfName(const std::string& name) {
    const auto dot = name.find_last_of('.');
    const auto slash = name.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::nullopt;
    return ImageTypeOfWord(name.substr(dot + 1));
}

bool WritePicture(std::FILE* out, ImageType type, const Picture& picture, std::string& error) {
    errno = 0;
    switch (type) {
    case ImageType::Png: return WritePng(out, picture, error);
    case ImageType::Raw:
        if (!picture.pixels) return PutRows(out, picture, picture.width, error, [&](std::size_t y, std::uint8_t* row) {
            std::memcpy(row, picture.gray + y * picture.width, picture.width);
        });
        // Compat: the host's buffer as it is, B, G, R, A (the plug-in's byte order on every build).
        return PutRows(out, picture, picture.width * 4, error, [&](std::size_t y, std::uint8_t* row) {
            std::memcpy(row, picture.pixels + y * picture.width, picture.width * 4);
        });
    case ImageType::Pgm:
    case ImageType::Ppm:
    case ImageType::Pam: return WritePnm(out, type, picture, error);
    }
    return false;
}

}  // namespace tessaly_cli
