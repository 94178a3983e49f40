// PNG through Debian's libpng: the plan's colour type and rows, libpng's own
// filter choice (none for palettes and depths below 8, adaptive otherwise)
// and zlib level 6, the usual balance of size and time for previews.
#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstring>

#include "png_plan.h"

namespace tessaly_cli {
namespace {

constexpr int kCompressionLevel = 6;

[[noreturn]] void OnError(png_structp png, png_const_charp message) {
    auto* error = static_cast<std::string*>(png_get_error_ptr(png));
    // A failed fwrite sets errno: the system's words say more than libpng's "Write Error".
    *error = errno != 0 ? std::strerror(errno) : message;
    png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

// Every libpng call of one write; libpng leaves it by longjmp on an error,
// so nothing here owns memory (the row buffer belongs to the caller).
void WriteAll(png_structp png, png_infop info, const Picture& picture, const PngPlan& plan, std::uint8_t* row) {
    png_set_compression_level(png, kCompressionLevel);
    png_set_IHDR(png, info, static_cast<png_uint_32>(picture.width), static_cast<png_uint_32>(picture.height),
                 static_cast<int>(plan.bitDepth), static_cast<int>(plan.colour), PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (plan.colour == PngColour::Palette) {
        png_color colours[256];
        png_byte alphas[256];
        for (std::size_t i = 0; i < plan.palette.size(); ++i) {
            const std::uint32_t c = plan.palette[i];
            colours[i] = {static_cast<png_byte>(c >> 16), static_cast<png_byte>(c >> 8), static_cast<png_byte>(c)};
            alphas[i] = static_cast<png_byte>(c >> 24);
        }
        png_set_PLTE(png, info, colours, static_cast<int>(plan.palette.size()));
        if (plan.translucent > 0) png_set_tRNS(png, info, alphas, static_cast<int>(plan.translucent), nullptr);
    }
    png_write_info(png, info);
    for (std::size_t y = 0; y < picture.height; ++y) {
        PackPngRow(picture, plan, y, row);
        png_write_row(png, row);
    }
    png_write_end(png, nullptr);
}

}  // namespace

bool WritePng(std::FILE* out, const Picture& picture, std::string& error) {
    const PngPlan plan = PlanPng(picture);
    std::vector<std::uint8_t> row(plan.rowBytes);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, OnError, OnWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        error = "cannot start libpng";
        return false;
    }
    errno = 0;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, out);
    WriteAll(png, info, picture, plan, row.data());
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace tessaly_cli
