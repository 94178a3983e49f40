// What the reading side makes of a file, for a host that tells its users: the
// header kind and fields, the layout the decoders would use, and whether a
// load at the file's own size succeeds or which rule refuses it. Computed by
// the same code every load runs.
#pragma once

#include "bmp/read/header.h"

namespace tessaly {

struct BmpDescription {
    Refusal reason = Refusal::None;  // None: the file loads at its own size
    int systemError = 0;             // errno, when the file could not be opened
    bool headersRead = false;        // `headers` holds the file's fields
    bool layoutKnown = false;        // `layout` holds where everything lies
    bool convertsColours = false;    // a load converts the stored colours to sRGB
    BmpHeaders headers;
    BmpLayout layout;
};

BmpDescription Describe(const char* path);

}  // namespace tessaly
