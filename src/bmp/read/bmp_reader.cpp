// The shared opening steps; see bmp_reader.h.
#include "bmp/read/bmp_reader.h"

#include <cerrno>

#include "bmp/read/colour_profile.h"

namespace tessaly {

BmpReader::BmpReader(const char* path, std::span<std::uint8_t> scratch) {
    if (!file_.Open(path, kOpenRead)) {
        reason_ = Refusal::CannotOpen;
        systemError_ = errno;
        return;
    }
    in_ = StreamReader(file_, scratch);
    ReadHeaderArea();
}

BmpReader::BmpReader(std::span<const std::uint8_t> bytes, std::span<std::uint8_t> scratch, std::uint64_t failAt)
    : in_(bytes, scratch, failAt) {
    ReadHeaderArea();
}

void BmpReader::ReadHeaderArea() {
    reason_ = ReadBmpHeaders(in_, headers_);
    if (reason_ != Refusal::None) return;
    headersRead_ = true;
    reason_ = ResolveBmpLayout(in_, headers_, layout_);
    if (reason_ != Refusal::None) return;
    layoutResolved_ = true;
    // The colour table: entry i from the file for every entry it supplies, black for the rest.
    const ColourTable& table = layout_.table;
    in_.Seek(table.offset);
    for (std::uint32_t i = 0; i < table.entries; ++i) {
        const auto entry = in_.Take(table.entrySize);
        if (!entry) {
            reason_ = Refusal::TableCut;  // the layout already checks this; a file that shrank since
            return;
        }
        palette_[i] = RGBQUAD{(*entry)[0], (*entry)[1], (*entry)[2], table.entrySize == 4 ? (*entry)[3] : std::uint8_t{0}};
    }
    // 64-bit pixels are linear light with sRGB's primaries by their format; no header changes that.
    if (layout_.format == PixelFormat::Rgba64) return;
    // A colour space that cannot be used shows the stored levels, as readers without colour management do.
    if (const auto source = ReadSourceSpace(in_, headers_)) conversion_ = std::make_unique<ColourTransform>(*source);
}

}  // namespace tessaly
