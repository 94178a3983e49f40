// The description of a file; see describe.h.
#include "bmp/read/describe.h"

#include "bmp/read/bmp_reader.h"

namespace tessaly {

BmpDescription Describe(const BmpReader& reader) {
    BmpDescription d;
    d.reason = reader.Verdict();
    d.systemError = reader.Verdict().systemError;
    d.headersRead = reader.HeadersRead();
    d.layoutKnown = reader.LayoutResolved();
    d.convertsColours = reader.ColourConversion() != nullptr;
    if (d.headersRead) d.headers = reader.Headers();
    if (d.layoutKnown) d.layout = reader.Layout();
    return d;
}

}  // namespace tessaly
