// The shared opening steps; see bmp_reader.h.
#include "bmp/read/bmp_reader.h"

#include "bmp/read/colour_profile.h"

namespace tessaly {

BmpReader::BmpReader(const ByteSource& source, std::span<std::uint8_t> scratch, const Outcome& opened)
    : in_(source, scratch), verdict_(opened) {
    if (verdict_.Ok()) ReadHeaderArea();
    // A read that failed is the reason, whatever rule its missing bytes would have broken.
    if (in_.Failed()) verdict_ = Outcome{Reason::ReadFailed, in_.Error()};
}

void BmpReader::ReadHeaderArea() {
    verdict_ = ReadBmpHeaders(in_, headers_);
    if (!verdict_.Ok()) return;
    headersRead_ = true;
    verdict_ = ResolveBmpLayout(in_, headers_, layout_);
    if (!verdict_.Ok()) return;
    layoutResolved_ = true;
    // The colour table: entry i from the file for every entry it supplies, black for the rest.
    const ColourTable& table = layout_.table;
    in_.Seek(table.offset);
    for (std::uint32_t i = 0; i < table.entries; ++i) {
        const auto entry = in_.Take(table.entrySize);
        if (!entry) {
            verdict_ = Reason::TableCut;  // the layout already checks this; a file that shrank since
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
