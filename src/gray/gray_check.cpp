// Recognising 8-bit gray files: a file that loads, 8 bits per pixel, and a
// colour table that is the gray ramp (entry i is B = G = R = i, reserved 0) in
// every entry the file declares. Then every stored index shows as its own
// gray level, which is what the gray load hands over.
#include "bmp/read/bmp_reader.h"
#include "gray/gray.h"
#include "shell/bmp_codec.h"

namespace tessaly {

bool IsGrayRamp(const Palette& palette, std::uint32_t entries) {
    for (std::uint32_t i = 0; i < entries && i < palette.size(); ++i) {
        const RGBQUAD& q = palette[i];
        if (q.rgbBlue != i || q.rgbGreen != i || q.rgbRed != i || q.rgbReserved != 0) return false;
    }
    return true;
}

Outcome BmpCodec::GrayCheck(const BmpReader& reader) {
    if (!reader.Verdict().Ok()) return reader.Verdict();
    // The whole 16-bit field must say 8: 0x0108 is not an 8-bit file.
    if (reader.Headers().infoHeader.biBitCount != 8) return Reason::NotGray;
    // A file whose colours are converted shows levels other than its indices
    // (and may tint the ramp), so handing over the indices would show another
    // picture than a colour load: it is not gray, and loads in colour.
    if (reader.ColourConversion()) return Reason::NotGray;
    return IsGrayRamp(reader.Colours(), reader.Layout().table.entries) ? Outcome{} : Outcome{Reason::NotGray};
}

}  // namespace tessaly
