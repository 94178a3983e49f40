// One BMP file opened for decoding: the steps every reading operation (load,
// gray test, gray load, describe) shares, done once. It opens the file (or
// reads bytes in memory), reads the header area in one pass, the colour table
// and the colour space (V4/V5 calibrated RGB, or an embedded profile), and
// says whether the pixels can be decoded and, if not, which rule refused them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "bmp/read/colour_transform.h"
#include "bmp/read/header.h"
#include "shell/file.h"

namespace tessaly {

class BmpReader {
public:
    // Opens `path` (regular files only) and reads through `scratch`.
    BmpReader(const char* path, std::span<std::uint8_t> scratch);
    // Reads `bytes` in memory; a read reaching `failAt` fails as a disk would.
    BmpReader(std::span<const std::uint8_t> bytes, std::span<std::uint8_t> scratch,
              std::uint64_t failAt = ~std::uint64_t{0});
    BmpReader(const BmpReader&) = delete;
    BmpReader& operator=(const BmpReader&) = delete;

    // Refusal::None when the pixels can be decoded.
    [[nodiscard]] Refusal Reason() const { return reason_; }
    // The system's reason (errno) when the file could not be opened.
    [[nodiscard]] int SystemError() const { return systemError_; }
    // Whether Headers() holds the file's headers (also when refused after reading them).
    [[nodiscard]] bool HeadersRead() const { return headersRead_; }
    [[nodiscard]] const BmpHeaders& Headers() const { return headers_; }
    // Whether Layout() was worked out (also when refused after that, for the table or the profile).
    [[nodiscard]] bool LayoutResolved() const { return layoutResolved_; }
    // The layout and the colour table (entries the file does not supply are
    // black); meaningful when Reason() is None.
    [[nodiscard]] const BmpLayout& Layout() const { return layout_; }
    [[nodiscard]] const Palette& Colours() const { return palette_; }
    // The conversion of the file's colours to sRGB, or null when the stored
    // levels are shown as they are (sRGB, no colour space, or one that cannot be used).
    [[nodiscard]] const ColourTransform* ColourConversion() const { return conversion_.get(); }
    // The source, for decoding the pixels.
    [[nodiscard]] StreamReader& Stream() { return in_; }

private:
    void ReadHeaderArea();

    File file_;
    StreamReader in_;
    Refusal reason_ = Refusal::None;
    int systemError_ = 0;
    bool headersRead_ = false;
    bool layoutResolved_ = false;
    BmpHeaders headers_;
    BmpLayout layout_;
    Palette palette_{};
    std::unique_ptr<ColourTransform> conversion_;
};

}  // namespace tessaly
