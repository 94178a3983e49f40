// The save plan: one table row per form, and the sizes of a file of that form.
// A request is turned into a plan once; the writer then follows the plan.
#include "bmp/read/geometry.h"
#include "bmp/write/encode.h"

namespace tessaly {
namespace {

// Indexed by SaveFormat.
constexpr std::array<SaveFormatRow, 6> kFormats = {{
    {40, 32, BI_RGB, 4, 4, TableSource::None},         // Bgra32: the host's four bytes as they are
    {40, 24, BI_RGB, 4, 3, TableSource::None},         // Bgr24
    {40, 8, BI_RGB, 4, 1, TableSource::Learned},       // Indexed8
    {40, 8, BI_RLE8, 4, 1, TableSource::Learned},      // Rle8: rows are encoded, storedBytes unused
    {40, 8, BI_RGB, 1, 1, TableSource::GrayRamp},      // Gray8: one host byte per pixel
    {108, 32, BI_BITFIELDS, 4, 4, TableSource::None},  // Bgra32Alpha: as Bgra32, with an alpha mask
}};

// Limit: bfSize is 32 bits; a file it cannot describe is not written.
constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFull;

}  // namespace

const SaveFormatRow& FormatRow(SaveFormat format) { return kFormats[static_cast<std::size_t>(format)]; }

std::optional<SaveFormat> ChooseSaveFormat(std::uint8_t bitCount, std::uint32_t compression) {
    switch (bitCount) {
    case 32: return SaveFormat::Bgra32;
    case 24: return SaveFormat::Bgr24;
    case 8: return compression == BI_RLE8 ? SaveFormat::Rle8 : SaveFormat::Indexed8;
    default: return std::nullopt;  // 1, 16 and every other depth are not written
    }
}

std::optional<SavePlan> PlanSave(SaveFormat format, std::int32_t width, std::int32_t height,
                                 std::uint64_t encodedBytes) {
    if (width <= 0 || height <= 0) return std::nullopt;
    const SaveFormatRow& row = FormatRow(format);
    const auto w = static_cast<std::uint32_t>(width), h = static_cast<std::uint32_t>(height);
    const auto pixels = AsSize(std::uint64_t{w} * h);
    if (!pixels || !AsSize(std::uint64_t{*pixels} * row.sourceBytes)) return std::nullopt;
    const std::uint64_t stride = RowStride(w, static_cast<std::uint32_t>(8 * row.storedBytes));
    const std::uint32_t pixelOffset = static_cast<std::uint32_t>(
        kFileHeaderSize + row.infoSize + (row.table == TableSource::None ? 0 : kPaletteBytes));
    const std::uint64_t pixelBytes = format == SaveFormat::Rle8 ? encodedBytes : stride * h;
    if (pixelBytes > kMaxFileSize - pixelOffset || !AsSize(stride)) return std::nullopt;
    return SavePlan{format, width, height, *pixels, static_cast<std::size_t>(stride), pixelOffset,
                    pixelOffset + pixelBytes};
}

}  // namespace tessaly
