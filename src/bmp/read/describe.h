// What the reading side makes of a file, for a host that tells its users: the
// header kind and fields, the layout the decoders would use, whether a load at
// the file's own size succeeds or which rule refuses it, and, when asked to
// read the pixels too, the damage the reader forgives in a file that loads.
// Computed by the same code every load runs.
#pragma once

#include <optional>
#include <vector>

#include "bmp/read/damage.h"
#include "bmp/read/header.h"
#include "shell/outcome.h"

namespace tessaly {

class BmpReader;

struct BmpDescription {
    Outcome reason;                  // Ok: the file loads at its own size
    int systemError = 0;             // errno, when the file could not be opened or read
    bool headersRead = false;        // `headers` holds the file's fields
    bool layoutKnown = false;        // `layout` holds where everything lies
    bool convertsColours = false;    // a load converts the stored colours to sRGB
    bool pixelsRead = false;         // the pixels were decoded: `damage` is the whole list
    BmpHeaders headers;
    BmpLayout layout;
    std::vector<Damage> damage;      // most serious first; notes last
};

// Whether the description lists damage (notes aside).
bool IsDamaged(const BmpDescription& d);

// Uncompressed pixel data that ends before the last pixel of a file of
// `fileLength` bytes: what is present and needed; nullopt when it is all there.
std::optional<Damage> PixelDataShortOf(const BmpLayout& layout, std::uint64_t fileLength);

// The description of the file `reader` has opened; with `readPixels`, the
// pixels of a file that loads are decoded too (into nothing) for its damage.
BmpDescription Describe(BmpReader& reader, bool readPixels = false);
// The same for the file at `path`, opened through the file service.
BmpDescription Describe(const char* path, bool readPixels = false);

}  // namespace tessaly
