// What a description of a file that loads says it forgave: one row per kind
// of damage or note, each the smallest file that shows it, and a whole file
// that shows none.
#include <gtest/gtest.h>

#include <functional>

#include "bmp/read/bmp_reader.h"
#include "bmp/read/describe.h"
#include "support/bmp_builder.h"

namespace tessaly::test {
namespace {

// A 4 x 2 8-bit file with a two-entry table, every byte in its place.
BmpBuilder Whole() {
    BmpBuilder b;
    b.width = 4;
    b.height = 2;
    b.bitCount = 8;
    b.clrUsed = 2;
    b.palette = {0x102030, 0x405060};
    b.pixels = {0, 1, 0, 1, 1, 0, 1, 0};
    return b;
}

std::string Damages(const Bytes& file) {
    std::vector<std::uint8_t> scratch(4096);
    BmpReader reader(MemorySource(file), scratch);
    const BmpDescription d = Describe(reader, true);
    if (!d.reason.Ok()) return std::string("refused: ") + ReasonText(d.reason);
    std::string out;
    for (const Damage& x : d.damage) out += (out.empty() ? "" : "; ") + DamageText(x, d.layout);
    return out;
}

TEST(Describe, EachDamageWithWhereItLies) {
    const auto with = [](std::function<void(BmpBuilder&)> change) {
        BmpBuilder b = Whole();
        change(b);
        return b.Build();
    };
    const auto patched = [](Bytes file, std::size_t at, std::uint32_t v) {
        if (at == 26) Put16(file, at, static_cast<std::uint16_t>(v));  // biPlanes, a 16-bit field
        else Put32(file, at, v);
        return file;
    };
    Bytes cut24 = with([](BmpBuilder& b) { b.bitCount = 24; b.clrUsed = 0; b.palette.clear(); b.pixels.assign(24, 9); });
    cut24.resize(cut24.size() - 4);  // the second stored (top) row loses its last 4 bytes
    Bytes cutAlpha = with([](BmpBuilder& b) {
        b.headerSize = 124; b.bitCount = 32; b.compression = 3; b.clrUsed = 0; b.palette.clear();
        b.masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000}; b.pixels.assign(32, 0xFF); });
    cutAlpha.resize(cutAlpha.size() - 4);
    const struct {
        const char* name;
        Bytes file;
        std::string damage;
    } rows[] = {
        {"whole", Whole().Build(), ""},
        {"pixel data cut", cut24,
         "pixel data ends at row 2 of 2, 20 of 24 bytes (rows above show black); bfSize says 78 bytes, the file holds 74"},
        {"alpha-masked pixel data cut", cutAlpha,
         "pixel data ends at row 2 of 2, 28 of 32 bytes (rows above show black, transparent unless no pixel has "
         "alpha); bfSize says 170 bytes, the file holds 166"},
        {"RLE8 stream without an end", with([](BmpBuilder& b) { b.compression = 1; b.pixels = {4, 1, 0, 0}; }),
         "RLE stream ends at row 2 of 2 (byte 66) (rows above show colour 0)"},
        {"RLE8 delta past the end", with([](BmpBuilder& b) { b.compression = 1; b.pixels = {0, 2, 0, 5}; }),
         "RLE delta past the image's end at row 1 of 2 (byte 62) (rows above show colour 0)"},
        {"RLE8 delta past its row", with([](BmpBuilder& b) {
             b.compression = 1; b.pixels = {2, 1, 0, 2, 5, 0, 2, 1, 0, 0, 4, 1, 0, 1}; }),
         "1 run passes the end of its row (cut there); 1 delta moves past the end of its row (the row's later pixels "
         "dropped)"},
        {"RLE8 delta after the last pixel: nothing lost", with([](BmpBuilder& b) {
             b.compression = 1; b.pixels = {4, 1, 0, 0, 4, 1, 0, 2, 0, 1}; }), ""},
        // Huffman 1-D, 4 x 2: EOL, white 2, EOL (the row ends short), white 4.
        {"Huffman 1-D row cut short by an EOL", with([](BmpBuilder& b) {
             b.headerSize = 64; b.bitCount = 1; b.compression = 3; b.pixels = {0x00, 0x17, 0x00, 0x1B, 0x00}; }),
         "1 row ends before its last pixel (the rest shows colour 0)"},
        // Huffman 1-D, 64 x 1: a make-up code of 64 fills the row, and no terminating code follows.
        {"Huffman 1-D row left open", with([](BmpBuilder& b) {
             b.headerSize = 64; b.bitCount = 1; b.compression = 3; b.width = 64; b.height = 1; b.pixels = {0xDD, 0x30}; }),
         "Huffman stream codes 0 of 1 rows validly (the rest as far as its codes go)"},
        // Huffman 1-D, 64 x 1: a make-up code of 64 fills the row, then an EOL (no terminating code).
        {"Huffman 1-D make-up code left open before an EOL", with([](BmpBuilder& b) {
             b.headerSize = 64; b.bitCount = 1; b.compression = 3; b.width = 64; b.height = 1;
             b.pixels = {0xD8, 0x00, 0x10}; }),
         "Huffman stream codes 0 of 1 rows validly (the rest as far as its codes go)"},
        {"an index past the table", with([](BmpBuilder& b) { b.pixels[3] = 7; b.pixels[4] = 200; }),
         "2 pixels use colours past the table's 2 entries (shown black)"},
        {"runs past their row", with([](BmpBuilder& b) { b.compression = 1; b.pixels = {6, 1, 0, 0, 9, 0, 0, 1}; }),
         "2 runs pass the end of their row (cut there)"},
        {"pixel offset inside the table", with([](BmpBuilder& b) { b.clrUsed = 0; b.offBits = 54 + 8; }),
         "colour table cut short by the pixel offset: 2 of 256 entries"},
        {"pixel offset past the end", patched(Whole().Build(), 10, 9999),
         "pixel offset 9999 lies past the file's end (pixels read from 62)"},
        {"pixel offset inside the headers", patched(Whole().Build(), 10, 20),
         "pixel offset 20 lies inside the headers (pixels read from 62)"},
        {"bfSize wrong", patched(Whole().Build(), 2, 1000), "bfSize says 1000 bytes, the file holds 70"},
        {"biSizeImage wrong", patched(Whole().Build(), 34, 12), "biSizeImage says 12 bytes, the pixel data holds 8"},
        {"bytes after the pixels", with([](BmpBuilder& b) { b.pixels.resize(11, 0); }),
         "3 bytes after the pixel data that no field accounts for"},
        {"alpha mask never used", with([](BmpBuilder& b) {
             b.headerSize = 124; b.bitCount = 32; b.compression = 3; b.clrUsed = 0; b.palette.clear();
             b.masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000}; b.pixels.assign(32, 0x40); for (int i = 3; i < 32; i += 4) b.pixels[i] = 0; }),
         "alpha mask unused: shown opaque"},
        {"planes", patched(Whole().Build(), 26, 3), "biPlanes is 3, not 1"},
        {"resolution", patched(Whole().Build(), 38, 5), "resolution 5 x 0 pixels per metre is implausible"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Damages(row.file), row.damage);
    }
}

}  // namespace
}  // namespace tessaly::test
