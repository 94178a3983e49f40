// PNG through Debian's libpng. Writing: the plan's colour type and rows,
// libpng's own filter choice (none for palettes and depths below 8, adaptive
// otherwise) and zlib level 6, the usual balance of size and time for
// previews. Reading: a stream picture_input.cpp has checked and trimmed,
// expanded by libpng to R, G, B, A at 8 or 16 bits; wider samples become 8
// bits by the host's own rule.
#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <new>

#include "picture_input.h"
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

[[noreturn]] void OnReadError(png_structp png, png_const_charp message) {
    *static_cast<std::string*>(png_get_error_ptr(png)) = message;
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
    if (picture.srgb) png_set_sRGB_gAMA_and_cHRM(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
    if (picture.pixelsPerMeterX != 0 && picture.pixelsPerMeterY != 0)
        png_set_pHYs(png, info, picture.pixelsPerMeterX, picture.pixelsPerMeterY, PNG_RESOLUTION_METER);
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

struct MemorySource {
    const std::uint8_t* at;
    std::size_t left;
};

void ReadFromMemory(png_structp png, png_bytep out, png_size_t n) {
    auto* source = static_cast<MemorySource*>(png_get_io_ptr(png));
    if (n > source->left) png_error(png, "the image data end early");
    std::memcpy(out, source->at, n);
    source->at += n;
    source->left -= n;
}

// The buffers of one read, made before libpng runs (it leaves by longjmp).
struct ReadBuffers {
    std::vector<std::uint8_t> rows;   // one row, or every row of an interlaced picture
    std::vector<png_bytep> pointers;  // interlaced: each row's start
    std::vector<std::uint16_t> wide;  // one row of 16-bit samples
};

void ReadAll(png_structp png, png_infop info, MemorySource& source, std::uint32_t width, std::uint32_t height,
             bool sixteen, ReadBuffers& buffers, std::span<std::uint32_t> pixels) {
    png_set_read_fn(png, &source, ReadFromMemory);
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);  // the host's own limits have been applied
    // Compat: the stb_image build does not check Adler-32 either (the chunks' CRCs have been).
    png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
    png_read_info(png, info);
    png_set_expand(png);  // palette to RGB, gray below 8 bits to 8, tRNS to alpha
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFFFF, PNG_FILLER_AFTER);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != std::size_t{width} * (sixteen ? 8 : 4)) png_error(png, "unexpected row layout");
    const std::size_t rowBytes = std::size_t{width} * (sixteen ? 8 : 4);
    if (passes > 1) png_read_image(png, buffers.pointers.data());
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint8_t* row = passes > 1 ? buffers.pointers[y] : buffers.rows.data();
        if (passes == 1) png_read_row(png, row, nullptr);
        const auto out = pixels.subspan(std::size_t{y} * width, width);
        if (!sixteen) {
            StoreRgba8({row, rowBytes}, out);
            continue;
        }
        for (std::size_t i = 0; i < buffers.wide.size(); ++i)
            buffers.wide[i] = static_cast<std::uint16_t>(row[2 * i] << 8 | row[2 * i + 1]);
        StoreRgba16(buffers.wide, out);
    }
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

bool DecodePng(const PngStream& stream, std::uint32_t width, std::uint32_t height, std::span<std::uint32_t> pixels,
               std::string& error) {
    const bool sixteen = stream.bitDepth == 16;
    const std::size_t rowBytes = std::size_t{width} * (sixteen ? 8 : 4);
    ReadBuffers buffers;
    try {
        buffers.rows.resize(stream.interlaced ? rowBytes * height : rowBytes);
        if (stream.interlaced) {
            buffers.pointers.resize(height);
            for (std::size_t y = 0; y < height; ++y) buffers.pointers[y] = buffers.rows.data() + y * rowBytes;
        }
        if (sixteen) buffers.wide.resize(std::size_t{width} * 4);
    } catch (const std::bad_alloc&) {
        error = "Cannot allocate memory for the decoded rows";
        return false;
    }
    std::string message;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &message, OnReadError, OnWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        error = "cannot start libpng";
        return false;
    }
    MemorySource source{stream.bytes.data(), stream.bytes.size()};
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        error = "damaged PNG: " + message;
        return false;
    }
    ReadAll(png, info, source, width, height, sixteen, buffers, pixels);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

}  // namespace tessaly_cli
