// Pictures the host reads for convert and savegray, from bytes in memory: PNM
// headers and samples (maxval scaling, 16 bits, PAM tuple types) and PNG
// streams built here (stored deflate blocks), through the build's decoder. One
// table of files and the pixels they give, or the words of the refusal.
#include <gtest/gtest.h>

#include "picture_input.h"
#include "png_plan.h"

namespace tessaly_cli {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Cut(Bytes a, std::size_t n) {
    a.resize(a.size() - n);
    return a;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void Be32(Bytes& out, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}

Bytes Chunk(const std::string& type, const Bytes& data, std::uint32_t crcFlip = 0) {
    Bytes out;
    Be32(out, static_cast<std::uint32_t>(data.size()));
    Bytes body = Text(type) + data;
    Be32(body, ~PngCrc(0xFFFFFFFFu, body) ^ crcFlip);
    return out + body;
}

// A zlib stream of stored blocks holding `raw`.
Bytes Zlib(const Bytes& raw) {
    Bytes out = {0x78, 0x01};
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t v : raw) a = (a + v) % 65521, b = (b + a) % 65521;
    std::size_t at = 0;
    do {
        const std::size_t n = std::min<std::size_t>(raw.size() - at, 65535);
        out.push_back(at + n == raw.size() ? 1 : 0);
        out.insert(out.end(), {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                               static_cast<std::uint8_t>(~n), static_cast<std::uint8_t>(~n >> 8)});
        const auto from = raw.begin() + static_cast<std::ptrdiff_t>(at);
        out.insert(out.end(), from, from + static_cast<std::ptrdiff_t>(n));
        at += n;
    } while (at < raw.size());
    Be32(out, b << 16 | a);
    return out;
}

Bytes Ihdr(std::uint32_t w, std::uint32_t h, std::uint8_t depth, std::uint8_t colour) {
    Bytes data;
    Be32(data, w);
    Be32(data, h);
    data.insert(data.end(), {depth, colour, 0, 0, 0});
    return Chunk("IHDR", data);
}

const Bytes kSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// A PNG: IHDR, `before` (chunks before the image data), rows (each with its filter byte) in one IDAT, IEND.
Bytes Png(std::uint32_t w, std::uint32_t h, std::uint8_t depth, std::uint8_t colour, const Bytes& rows,
          const Bytes& before = {}) {
    return kSignature + Ihdr(w, h, depth, colour) + before + Chunk("IDAT", Zlib(rows)) + Chunk("IEND", {});
}

TEST(PictureInput, Table) {
    const Bytes rgb1 = {0, 10, 20, 30};  // one RGB pixel row, filter 0
    const Bytes pamHead =
        Text("P7\nWIDTH 2\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\n# a comment\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n");
    struct Case {
        const char* name;
        Bytes file;
        std::vector<std::uint32_t> pixels;  // 0xAARRGGBB; empty: refused
        const char* words = "";
    };
    const Case cases[] = {
        // PNM: maxval scaling, 16-bit samples (round(v x 255 / 65535)), gray and alpha, comments.
        {"P5 maxval 15", Text("P5\n3 1\n15\n") + Bytes{0, 7, 15}, {0xFF000000, 0xFF777777, 0xFFFFFFFF}},
        {"P5 comments", Text("P5 # made by hand\n2 # wide\n1 255\n") + Bytes{1, 254}, {0xFF010101, 0xFFFEFEFE}},
        {"P6 16-bit", Text("P6 1 1 65535\n") + Bytes{0, 128, 0, 129, 255, 255}, {0xFF0001FF}},
        {"P6 maxval 1000", Text("P6 1 1 1000\n") + Bytes{0x01, 0xF4, 0x00, 0x02, 0x03, 0xE8}, {0xFF8001FF}},
        {"P7 gray alpha", pamHead + Bytes{10, 20, 30, 40}, {0x140A0A0A, 0x281E1E1E}},
        {"P7 RGBA 16-bit", Text("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 4\nMAXVAL 65535\nTUPLTYPE RGB_ALPHA\nENDHDR\n") +
                               Bytes{0, 0, 0x80, 0x80, 0xFF, 0xFF, 0x7F, 0x7F}, {0x7F0080FF}},
        {"P7 no tuple type", Text("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nENDHDR\n") + Bytes{1, 2, 3},
         {0xFF010203}},
        {"P2", Text("P2\n1 1\n255\n0\n"), {}, "plain (text) P2"},
        {"P4", Text("P4\n8 1\n\xff"), {}, "PBM bitmap (P4)"},
        {"P5 short", Text("P5\n2 2\n255\n") + Bytes{1, 2, 3}, {}, "ends before its pixels do (3 of 4 bytes)"},
        {"P6 16-bit short", Text("P6\n1 1\n256\n") + Bytes{0, 1, 0, 2, 0}, {}, "(5 of 6 bytes)"},
        {"P5 above maxval", Text("P5\n2 1\n100\n") + Bytes{100, 101}, {}, "a sample (101) above maxval 100"},
        {"P5 maxval 0", Text("P5\n1 1\n0\n") + Bytes{0}, {}, "maxval 0"},
        {"P5 maxval 65536", Text("P5\n1 1\n65536\n") + Bytes{0, 0}, {}, "maxval 65536"},
        {"P5 no pixels", Text("P5\n0 1\n255\n"), {}, "no pixels (0 x 1)"},
        {"P5 too wide", Text("P5\n16777217 1\n255\n"), {}, "wider or taller than the host reads"},
        {"P5 cut header", Text("P5\n1 1\n255"), {}, "header is cut short or malformed"},
        {"P7 unknown tuple",
         Text("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE CMYK\nENDHDR\n") + Bytes{1, 2, 3, 4}, {},
         "tuple type CMYK"},
        {"P7 depth against tuple", Text("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nTUPLTYPE GRAYSCALE\nENDHDR\n") +
                                       Bytes{1, 2, 3}, {}, "depth 3 and tuple type GRAYSCALE"},
        {"P7 no ENDHDR", Text("P7\nWIDTH 1\nHEIGHT 1\n"), {}, "no ENDHDR"},
        // PNG: the decoder's expansions, the host's 16-bit rule, and the checks made before decoding.
        {"PNG RGB", Png(1, 1, 8, 2, rgb1), {0xFF0A141E}},
        {"PNG gray 2-bit", Png(4, 1, 2, 0, {0, 0x1B}), {0xFF000000, 0xFF555555, 0xFFAAAAAA, 0xFFFFFFFF}},
        {"PNG RGBA 16-bit", Png(2, 1, 16, 6, {0, 0, 0, 0, 128, 0, 129, 0xFF, 0xFF, 0x80, 0x80, 0xFF, 0xFF, 0, 0, 0, 0}),
         {0xFF000001, 0x0080FF00}},
        {"PNG gray tRNS", Png(2, 1, 8, 0, {0, 7, 8}, Chunk("tRNS", {0, 7})), {0x00070707, 0xFF080808}},
        {"PNG index past PLTE",
         Png(3, 1, 8, 3, {0, 0, 1, 5}, Chunk("PLTE", {1, 2, 3, 4, 5, 6}) + Chunk("tRNS", {0x80})),
         {0x80010203, 0xFF040506, 0xFF000000}},
        {"PNG ancillary chunk broken inside", Png(1, 1, 8, 2, rgb1, Chunk("gAMA", {})), {0xFF0A141E}},
        {"PNG tRNS beside alpha", Png(1, 1, 8, 4, {0, 9, 200}, Chunk("tRNS", {0, 9})), {0xC8090909}},
        {"PNG bad CRC", kSignature + Ihdr(1, 1, 8, 2) + Chunk("IDAT", Zlib(rgb1), 1) + Chunk("IEND", {}), {},
         "damaged PNG: its IDAT chunk fails its CRC"},
        {"PNG cut short", Cut(Png(1, 1, 8, 2, rgb1), 20), {},
         "damaged PNG: cut short in its IDAT chunk"},
        {"PNG without IEND", kSignature + Ihdr(1, 1, 8, 2) + Chunk("IDAT", Zlib(rgb1)), {},
         "ends before its IEND chunk"},
        {"PNG without IDAT", kSignature + Ihdr(1, 1, 8, 2) + Chunk("IEND", {}), {}, "no IDAT chunk"},
        {"PNG split IDAT", kSignature + Ihdr(1, 1, 8, 2) + Chunk("IDAT", {0x78}) + Chunk("tEXt", Text("a\0b")) +
                               Chunk("IDAT", {0x01}) + Chunk("IEND", {}), {}, "not consecutive"},
        {"PNG IDAT first", kSignature + Chunk("IDAT", Zlib(rgb1)), {}, "does not start with IHDR"},
        {"PNG unknown critical chunk", Png(1, 1, 8, 2, rgb1, Chunk("CgBI", {0, 0, 0, 0})), {},
         "critical chunk the host does not know (CgBI)"},
        {"PNG palette without PLTE", Png(1, 1, 8, 3, {0, 0}), {}, "without a PLTE chunk"},
        {"PNG PLTE in gray", Png(1, 1, 8, 0, {0, 0}, Chunk("PLTE", {1, 2, 3})), {}, "PLTE chunk in a gray picture"},
        {"PNG long tRNS", Png(1, 1, 8, 3, {0, 0}, Chunk("PLTE", {1, 2, 3}) + Chunk("tRNS", {1, 2})), {},
         "tRNS chunk of 2 bytes"},
        {"PNG RGB at 4 bits", Png(1, 1, 4, 2, {0, 0}), {}, "colour type 2 at 4 bits"},
        {"PNG too wide", Png(16777217, 1, 8, 0, {0}), {}, "16777217 x 1: wider or taller than the host reads"},
        {"PNG image data short", Png(2, 2, 8, 2, rgb1), {}, "damaged PNG: "},
        {"PNG bad filter", Png(1, 1, 8, 2, {9, 10, 20, 30}), {}, "damaged PNG: "},
        {"neither", Text("BM not for the host"), {}, "not a PNG, PGM, PPM or PAM file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InputPicture picture;
        std::string error;
        bool ok = ReadInputHeader(c.file, picture, error);
        std::vector<std::uint32_t> pixels;
        if (ok) {
            pixels.assign(std::size_t{picture.width} * picture.height, 0x12345678);
            ok = DecodeInput(c.file, picture, pixels, error);
        }
        ASSERT_EQ(ok, !c.pixels.empty()) << error;
        if (ok) EXPECT_EQ(pixels, c.pixels);
        else EXPECT_NE(error.find(c.words), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace tessaly_cli
