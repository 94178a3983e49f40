// What the reading side makes of a file, for a host that tells its users: the
// header kind and fields, the layout the decoders would use, and whether a
// load at the file's own size succeeds or which rule refuses it. Computed by
// the same code every load runs.
#pragma once

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
    BmpHeaders headers;
    BmpLayout layout;
};

// The description of the file `reader` has opened.
BmpDescription Describe(const BmpReader& reader);
// The same for the file at `path`, opened through the file service.
BmpDescription Describe(const char* path);

}  // namespace tessaly
