// The description of a file; see describe.h.
#include "bmp/read/describe.h"

#include <vector>

#include "bmp/read/bmp_reader.h"
#include "shell/bmp_codec.h"

namespace tessaly {

BmpDescription Describe(const char* path) {
    std::vector<std::uint8_t> scratch(kReadChunkBytes);
    const BmpReader reader(path, scratch);
    BmpDescription d;
    d.reason = reader.Reason();
    d.systemError = reader.SystemError();
    d.headersRead = reader.HeadersRead();
    d.layoutKnown = reader.LayoutResolved();
    d.convertsColours = reader.ColourConversion() != nullptr;
    if (d.headersRead) d.headers = reader.Headers();
    if (d.layoutKnown) d.layout = reader.Layout();
    return d;
}

}  // namespace tessaly
