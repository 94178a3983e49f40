// Fuzz target: the RLE command loop and the Huffman 1-D decoder over bytes in
// memory. The first three bytes choose the width, the height and the format;
// the rest is the stream. Afterwards every element must be defined.
#include <array>
#include <vector>

#include "bmp/read/decode_huffman.h"
#include "bmp/read/decode_rle.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tessaly;
    if (size < 3) return 0;
    const std::size_t w = 1 + data[0] % 64, h = 1 + data[1] % 64;
    const DecodeKind kinds[] = {DecodeKind::Rle8, DecodeKind::Rle4, DecodeKind::Rle24, DecodeKind::Huffman1d};
    const DecodeKind kind = kinds[data[2] % 4];
    PixelTable table;
    for (std::uint32_t i = 0; i < 256; ++i) table[i] = 0xFF000000u | i;
    std::vector<std::uint32_t> out(w * h, 0x12345678u);  // no table entry makes this value
    ImageRows rows(ImageView{out.data(), w, h});
    PixelSink<ImageRows> sink(rows, data[2] & 0x80);
    if (kind == DecodeKind::Huffman1d) {
        std::array<std::uint8_t, 64> buffer;
        StreamReader in(std::span<const std::uint8_t>(data + 3, size - 3), buffer);
        DecodeHuffman1d(in, table, w, sink);
    } else {
        ByteReader in({data + 3, size - 3});
        DecodeRle(kind, in, table, w, sink);
    }
    for (const std::uint32_t p : out)
        if (p == 0x12345678u) __builtin_trap();  // an element was never written
    return 0;
}
