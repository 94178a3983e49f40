// One BMP file opened for decoding: the steps every reading operation (load,
// gray test, gray load, describe) shares, done once. From a byte source (an
// open file, bytes in memory) it reads the header area in one pass, the
// colour table and the colour space (V4/V5 calibrated RGB, or an embedded
// profile), and says whether the pixels can be decoded and, if not, which
// rule refused them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "bmp/read/byte_reader.h"
#include "bmp/read/colour_transform.h"
#include "bmp/read/header.h"
#include "shell/outcome.h"

namespace tessaly {

class BmpReader {
public:
    // Reads `source` through `scratch`. `opened` is how opening the source
    // went: a source that could not be opened is not read, and that is the reason.
    BmpReader(const ByteSource& source, std::span<std::uint8_t> scratch, const Outcome& opened = {});
    BmpReader(const BmpReader&) = delete;
    BmpReader& operator=(const BmpReader&) = delete;

    // Ok when the pixels can be decoded; else the rule that refused them, or
    // the system error that stopped the reading.
    [[nodiscard]] const Outcome& Verdict() const { return verdict_; }
    // Whether Headers() holds the file's headers (also when refused after reading them).
    [[nodiscard]] bool HeadersRead() const { return headersRead_; }
    [[nodiscard]] const BmpHeaders& Headers() const { return headers_; }
    // Whether Layout() was worked out (also when refused after that, for the table or the profile).
    [[nodiscard]] bool LayoutResolved() const { return layoutResolved_; }
    // The layout and the colour table (entries the file does not supply are
    // black); meaningful when Verdict() is Ok.
    [[nodiscard]] const BmpLayout& Layout() const { return layout_; }
    [[nodiscard]] const Palette& Colours() const { return palette_; }
    // The conversion of the file's colours to sRGB, or null when the stored
    // levels are shown as they are (sRGB, no colour space, or one that cannot be used).
    [[nodiscard]] const ColourTransform* ColourConversion() const { return conversion_.get(); }
    // The source, for decoding the pixels.
    [[nodiscard]] ByteReader& Stream() { return in_; }

private:
    void ReadHeaderArea();

    ByteReader in_;
    Outcome verdict_;
    bool headersRead_ = false;
    bool layoutResolved_ = false;
    BmpHeaders headers_;
    BmpLayout layout_;
    Palette palette_{};
    std::unique_ptr<ColourTransform> conversion_;
};

}  // namespace tessaly
