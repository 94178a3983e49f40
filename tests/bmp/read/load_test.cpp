// Whole loads through the codec: row order, refusals that leave the host's
// buffer untouched, and the reading rules for offsets, tables and short data.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "bmp/read/bmp_reader.h"
#include "shell/bmp_codec.h"
#include "support/bmp_builder.h"
#include "support/codec.h"
#include "support/counting_allocator.h"
#include "support/failing_io.h"

namespace tessaly::test {
namespace {

constexpr std::uint32_t kPoison = 0x5A5A5A5A;

class LoadTest : public ::testing::Test {
protected:
    // Loads `file` at w x h into a poisoned buffer; the result and the buffer.
    std::pair<int, std::vector<std::uint32_t>> Load(const Bytes& file, std::int32_t w, std::int32_t h) {
        std::vector<std::uint32_t> out(static_cast<std::size_t>(std::max(w, 1)) * static_cast<std::size_t>(std::max(h, 1)), kPoison);
        const int ok = Folded(LoadBytes(*codec_, file, out.data(), w, h));
        return {ok, out};
    }
    std::unique_ptr<BmpCodec> codec_ = std::make_unique<BmpCodec>();
};

// A 24-bit image whose pixel at (x, y) (y = 0 the top row) is Colour(x, y).
std::uint32_t Colour(std::size_t x, std::size_t y) {
    return 0xFF000000u | static_cast<std::uint32_t>((x * 40 + 3) & 0xFF) << 16 |
           static_cast<std::uint32_t>((y * 70 + 5) & 0xFF) << 8 | static_cast<std::uint32_t>((x * y + 9) & 0xFF);
}

Bytes Rgb24File(std::int32_t w, std::int32_t h, bool topDown = false) {
    std::vector<Bytes> rows;
    for (std::int32_t r = 0; r < h; ++r) {
        const std::size_t y = topDown ? static_cast<std::size_t>(r) : static_cast<std::size_t>(h - 1 - r);
        Bytes row;
        for (std::size_t x = 0; x < static_cast<std::size_t>(w); ++x) {
            const std::uint32_t c = Colour(x, y);
            row.insert(row.end(), {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c >> 8), static_cast<std::uint8_t>(c >> 16)});
        }
        rows.push_back(row);
    }
    BmpBuilder b;
    b.width = w;
    b.height = topDown ? -h : h;
    b.bitCount = 24;
    b.pixels = PadRows(rows);
    return b.Build();
}

TEST_F(LoadTest, BottomUpRowsArriveTopRowFirstAtEveryHeight) {
    for (std::int32_t h = 1; h <= 3; ++h) {
        SCOPED_TRACE(h);
        for (const bool topDown : {false, true}) {
            const auto [ok, px] = Load(Rgb24File(5, h, topDown), 5, h);
            ASSERT_EQ(ok, 1);
            for (std::size_t y = 0; y < static_cast<std::size_t>(h); ++y)
                for (std::size_t x = 0; x < 5; ++x) EXPECT_EQ(px[y * 5 + x], Colour(x, y)) << x << "," << y;
        }
    }
}

TEST_F(LoadTest, RefusalsLeaveTheHostBufferUntouched) {
    auto with = [](auto change) {
        BmpBuilder b;
        b.width = 4;
        b.height = 2;
        b.bitCount = 8;
        b.palette.assign(256, 0x00102030);
        b.pixels.assign(8, 1);
        change(b);
        return b.Build();
    };
    Bytes badMagic = with([](BmpBuilder&) {});
    badMagic[0] = 'X';
    Bytes shortPalette = with([](BmpBuilder&) {});
    shortPalette.resize(54 + 100);
    const struct {
        const char* name;
        Bytes file;
        std::int32_t w, h;
    } cases[] = {
        {"wrong magic", badMagic, 4, 2},
        {"compression 4", with([](BmpBuilder& b) { b.compression = 4; }), 4, 2},
        {"compression 0xFFFFFFFF", with([](BmpBuilder& b) { b.compression = 0xFFFFFFFF; }), 4, 2},
        {"bit count 0", with([](BmpBuilder& b) { b.bitCount = 0; }), 4, 2},
        {"bit count 3", with([](BmpBuilder& b) { b.bitCount = 3; }), 4, 2},
        {"bit count 0xFFFF", with([](BmpBuilder& b) { b.bitCount = 0xFFFF; }), 4, 2},
        {"width 0", with([](BmpBuilder& b) { b.width = 0; }), 4, 2},
        {"height 0", with([](BmpBuilder& b) { b.height = 0; }), 4, 2},
        {"width negative", with([](BmpBuilder& b) { b.width = -4; }), 4, 2},
        {"both negative", with([](BmpBuilder& b) { b.width = -4; b.height = -2; }), 4, 2},
        {"top-down RLE", with([](BmpBuilder& b) { b.height = -2; b.compression = 1; }), 4, 2},
        {"RLE8 on a 4-bit file", with([](BmpBuilder& b) { b.bitCount = 4; b.palette.resize(16); b.compression = 1; }), 4, 2},
        {"colour table cut short", shortPalette, 4, 2},
        {"no pixel byte at all (8-bit)", with([](BmpBuilder& b) { b.pixels.clear(); }), 4, 2},
        {"short 1-bit data", with([](BmpBuilder& b) { b.bitCount = 1; b.palette.resize(2); b.pixels.assign(7, 0); }), 4, 2},
        {"short 4-bit data", with([](BmpBuilder& b) { b.bitCount = 4; b.palette.resize(16); b.pixels.assign(7, 0); }), 4, 2},
        {"target width 0", with([](BmpBuilder&) {}), 0, 2},
        {"target height negative", with([](BmpBuilder&) {}), 4, -2},
        {"width x height x 4 of 2^32", with([](BmpBuilder& b) { b.width = 65536; b.height = 16384; b.bitCount = 24; }), 4, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto [ok, px] = Load(c.file, c.w, c.h);
        EXPECT_EQ(ok, 0);
        for (const std::uint32_t p : px) ASSERT_EQ(p, kPoison);
    }
    std::uint32_t px = kPoison;
    TempDir dir;
    EXPECT_EQ(codec_->LoadBmpFile(dir.Path("missing.bmp").c_str(), &px, 1, 1), 0);
    EXPECT_EQ(px, kPoison);
}

Bytes Pal8(std::uint32_t headerSize, std::int64_t offBits, std::uint32_t clrUsed, std::size_t entries) {
    BmpBuilder b;
    b.headerSize = headerSize;
    b.width = 3;
    b.height = 1;
    b.bitCount = 8;
    b.clrUsed = clrUsed;
    for (std::uint32_t i = 0; i < entries; ++i) b.palette.push_back(i * 0x010203u);
    b.offBits = offBits;
    b.pixels = {2, 1, 0, 0};
    return b.Build();
}

Bytes WithOffBits(Bytes file, std::uint32_t offBits) {
    Put32(file, 10, offBits);
    return file;
}

TEST_F(LoadTest, TableAndPixelsAreFoundWhereTheHeadersSay) {
    const std::uint32_t e1 = 0xFF000000u | 0x010203u, e2 = 0xFF000000u | 0x020406u;
    const std::vector<std::uint32_t> want = {e2, e1, 0xFF000000u};
    const struct {
        const char* name;
        Bytes file;
    } cases[] = {
        {"40-byte header", Pal8(40, -1, 0, 256)},
        {"V4 header", Pal8(108, -1, 0, 256)},
        {"V5 header", Pal8(124, -1, 0, 256)},
        {"bfOffBits past the table", Pal8(40, 54 + 1024 + 37, 0, 256)},
        {"bfOffBits inside the declared table ends it there", Pal8(40, 54 + 12, 0, 3)},
        {"bfOffBits past the end is ignored", WithOffBits(Pal8(40, -1, 3, 3), 99999)},
        {"300 entries declared: 256 read, the rest skipped", Pal8(40, -1, 300, 300)},
        {"16-byte OS/2 header", Pal8(16, -1, 0, 256)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto [ok, px] = Load(c.file, 3, 1);
        ASSERT_EQ(ok, 1);
        EXPECT_EQ(px, want);
    }
}

TEST_F(LoadTest, Rgb24WithAColourTableReadsPixelsFromBfOffBits) {
    Bytes file = Rgb24File(2, 1);
    BmpBuilder b;
    b.width = 2;
    b.height = 1;
    b.bitCount = 24;
    b.clrUsed = 2;
    b.palette = {0x111111, 0x222222};
    b.pixels.assign(file.begin() + 54, file.end());
    const auto [ok, px] = Load(b.Build(), 2, 1);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(px, (std::vector<std::uint32_t>{Colour(0, 0), Colour(1, 0)}));
}

TEST_F(LoadTest, NoColoursLeakFromAnEarlierFile) {
    // A full table first, then a 4-bit file with 2 entries whose pixels use index 5.
    ASSERT_EQ(Load(Pal8(40, -1, 0, 256), 3, 1).first, 1);
    BmpBuilder b;
    b.width = 2;
    b.height = 1;
    b.bitCount = 4;
    b.clrUsed = 2;
    b.palette = {0x0000FF, 0x00FF00};
    b.pixels = {0x15, 0, 0, 0};
    for (int twice = 0; twice < 2; ++twice) {
        const auto [ok, px] = Load(b.Build(), 2, 1);
        ASSERT_EQ(ok, 1);
        EXPECT_EQ(px, (std::vector<std::uint32_t>{0xFF00FF00u, 0xFF000000u}));
    }
}

TEST_F(LoadTest, ShortDataDecodesAsZeroAndRleGapsAsEntryZero) {
    {  // 8-bit, 2 rows of 4: only the first (bottom) row's first two bytes exist
        BmpBuilder b;
        b.width = 4;
        b.height = 2;
        b.bitCount = 8;
        b.clrUsed = 3;
        b.palette = {0x000000, 0x0000FF, 0x00FF00};
        b.pixels = {1, 2};
        const auto [ok, px] = Load(b.Build(), 4, 2);
        ASSERT_EQ(ok, 1);
        const std::uint32_t k0 = 0xFF000000u;
        EXPECT_EQ(px, (std::vector<std::uint32_t>{k0, k0, k0, k0, 0xFF0000FFu, 0xFF00FF00u, k0, k0}));
    }
    {  // 24-bit with no pixel bytes at all: black
        BmpBuilder b;
        b.width = 2;
        b.height = 1;
        b.bitCount = 24;
        const auto [ok, px] = Load(b.Build(), 2, 1);
        ASSERT_EQ(ok, 1);
        EXPECT_EQ(px, (std::vector<std::uint32_t>(2, 0xFF000000u)));
    }
    {  // RLE8 that stops after one pixel: the rest is palette entry 0
        BmpBuilder b;
        b.width = 3;
        b.height = 2;
        b.bitCount = 8;
        b.compression = 1;
        b.clrUsed = 2;
        b.palette = {0x123456, 0xABCDEF};
        b.pixels = {0x01, 0x01, 0x00, 0x01};
        const auto [ok, px] = Load(b.Build(), 3, 2);
        ASSERT_EQ(ok, 1);
        const std::uint32_t fill = 0xFF123456u;
        EXPECT_EQ(px, (std::vector<std::uint32_t>{fill, fill, fill, 0xFFABCDEFu, fill, fill}));
    }
}

TEST_F(LoadTest, AHugeDeclaredImageInATinyFileAllocatesNothingLarge) {
    BmpBuilder b;
    b.width = 30000;
    b.height = 30000;
    b.bitCount = 1;  // 1-bit data must be complete: refused before any pixel work
    b.palette = {0, 0xFFFFFF};
    b.pixels.assign(30, 0);
    const Bytes file = b.Build();
    ASSERT_LT(file.size(), 100u);
    AllocationWatch watch;
    const auto [ok, px] = Load(file, 4, 4);
    EXPECT_EQ(ok, 0);
    EXPECT_LT(watch.Largest(), 1u << 20);
}

TEST_F(LoadTest, HugeGeometryIsRefusedOnEveryWordSize) {
    // Sizes whose products overflow 32 bits: each is refused, nothing is allocated for it.
    auto header = [](std::int32_t w, std::int32_t h, std::uint16_t bits, std::uint32_t compression, Bytes pixels) {
        BmpBuilder b;
        b.width = w;
        b.height = h;
        b.bitCount = bits;
        b.compression = compression;
        if (bits <= 8) b.palette.assign(std::size_t{1} << bits, 0x808080);
        b.pixels = std::move(pixels);
        return b.Build();
    };
    const struct {
        const char* name;
        Bytes file;
    } cases[] = {
        {"3000000 x 2000000 at 24 bits", header(3000000, 2000000, 24, 0, Bytes(64, 7))},
        {"65535 x 65535 RLE8 with a 2-byte stream", header(65535, 65535, 8, 1, {0x00, 0x01})},
        {"stride x height beyond 32 bits (1 bit, 2^31 - 1 wide)", header(0x7FFFFFFF, 3, 1, 0, Bytes(64, 0))},
        {"4 bytes per pixel just past 2^32", header(0x40000000, 1, 32, 0, Bytes(64, 0))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AllocationWatch watch;
        const auto [ok, px] = Load(c.file, 2, 2);
        EXPECT_EQ(ok, 0);
        for (const std::uint32_t p : px) EXPECT_EQ(p, kPoison);
        EXPECT_LT(watch.Largest(), 1u << 20);
    }
}

TEST_F(LoadTest, ScaledLoadsRefuseFilesDeclaringFarMorePixelsThanTheyHold) {
    BmpBuilder b;
    b.width = 30000;
    b.height = 30000;
    b.bitCount = 8;
    b.compression = 1;
    b.clrUsed = 1;
    b.palette = {0x102030};
    b.pixels = {0x00, 0x01};
    const auto [ok, px] = Load(b.Build(), 4, 4);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(px, std::vector<std::uint32_t>(16, kPoison));
    // The same kind of file at a sane size loads, scaled or not: every pixel is entry 0.
    b.width = 300;
    b.height = 200;
    for (const auto& [w, h] : {std::pair{300, 200}, {7, 5}}) {
        const auto [ok2, px2] = Load(b.Build(), w, h);
        ASSERT_EQ(ok2, 1);
        EXPECT_EQ(px2, std::vector<std::uint32_t>(static_cast<std::size_t>(w * h), 0xFF102030u));
    }
}

TEST_F(LoadTest, AnIoErrorInThePixelsEndsTheLoadWithTheRowsReadSoFar) {
    // 8 x 8 at 24 bits: 54 header bytes, rows of 24 bytes. Read through a
    // 64-byte buffer, the source delivers bytes up to 166 and fails on the read
    // that would pass byte 170: the stored rows 0 to 3 (the image's bottom
    // four) arrive, then the error ends the load.
    const Bytes file = Rgb24File(8, 8);
    std::uint8_t scratch[64];
    const FailingSource failing(file, 170);
    BmpReader reader(failing.Source(), scratch);
    ASSERT_TRUE(reader.Verdict().Ok());
    std::vector<std::uint32_t> out(64, kPoison);
    const Outcome loaded = codec_->LoadFrom(reader, ImageView{out.data(), 8, 8});
    EXPECT_EQ(loaded, Reason::ReadFailed);
    EXPECT_EQ(loaded.systemError, EIO);
    for (std::size_t y = 0; y < 8; ++y)
        for (std::size_t x = 0; x < 8; ++x) EXPECT_EQ(out[y * 8 + x] == kPoison, y < 4) << x << "," << y;
}

TEST_F(LoadTest, ExtremeScaledGeometriesStayWithinTheirMemory) {
    // Tiny files declaring huge images, scaled to small and large targets: each
    // loads (to what zero bytes or entry 0 decode to) or is refused, holding no
    // more than the read buffer and a few rows of the target's width.
    auto file = [](std::int32_t w, std::int32_t h, std::uint16_t bits, std::uint32_t compression, Bytes data) {
        BmpBuilder b;
        b.width = w;
        b.height = h;
        b.bitCount = bits;
        b.compression = compression;
        if (bits == 8) b.palette = {0x102030};
        b.clrUsed = bits == 8 ? 1 : 0;
        b.pixels = std::move(data);
        return b.Build();
    };
    const Bytes tall = file(1, 1 << 20, 24, 0, Bytes(256, 0));
    const Bytes wide = file((1 << 30) - 1, 1, 24, 0, Bytes(262144 - 54, 0));
    const Bytes tallRle = file(1, 4000000, 8, 1, {0x00, 0x01});
    const struct {
        const char* name;
        const Bytes& file;
        std::int32_t w, h;
        bool loads;
        std::uint32_t pixel;
    } cases[] = {
        {"1 x 2^20 into 1024 x 1", tall, 1024, 1, true, 0xFF000000u},
        {"1 x 2^20 into 1025 x 1", tall, 1025, 1, true, 0xFF000000u},
        {"1 x 2^20 into 1 x 1", tall, 1, 1, true, 0xFF000000u},
        {"1 x 2^20 into 4096 x 4096", tall, 4096, 4096, true, 0xFF000000u},
        {"(2^30 - 1) x 1 into 1000 x 1", wide, 1000, 1, true, 0xFF000000u},
        {"(2^30 - 1) x 1 into 4096 x 3", wide, 4096, 3, true, 0xFF000000u},
        {"1 x 4000000 RLE into 2000 x 2000", tallRle, 2000, 2000, true, 0xFF102030u},
        {"2^30 x 1 in 60 bytes is refused", file(1 << 30, 1, 24, 0, Bytes(6, 0)), 1000, 1, false, kPoison},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint32_t> out(static_cast<std::size_t>(c.w) * static_cast<std::size_t>(c.h), kPoison);
        AllocationWatch watch;
        EXPECT_EQ(LoadBytes(*codec_, c.file, out.data(), c.w, c.h).Ok(), c.loads);
        EXPECT_LT(watch.Peak(), (128u << 10) + 256u * static_cast<std::size_t>(c.w));
        EXPECT_EQ(std::count(out.begin(), out.end(), c.pixel), static_cast<std::ptrdiff_t>(out.size()));
    }
}

TEST_F(LoadTest, LoadsAtTheFileSizeAllocateNothingProportionalToTheImage) {
    // Through a file, as the host's command runs it.
    TempDir dir;
    const std::string path = dir.Write("big.bmp", Rgb24File(1000, 300));
    std::vector<std::uint32_t> out(1000 * 300);
    AllocationWatch watch;
    ASSERT_EQ(codec_->LoadBmpFile(path.c_str(), out.data(), 1000, 300), 1);
    EXPECT_LT(watch.Peak(), 64u * 1024);
    // A scaled load holds a few rows, not the source image.
    std::vector<std::uint32_t> small(100 * 30);
    AllocationWatch scaled;
    ASSERT_EQ(codec_->LoadBmpFile(path.c_str(), small.data(), 100, 30), 1);
    EXPECT_LT(scaled.Peak(), 1000u * 300 * 4 / 8);
}

TEST_F(LoadTest, ScaledLoadOfAUniformImageStaysUniform) {
    BmpBuilder b;
    b.width = 37;
    b.height = 23;
    b.bitCount = 8;
    b.clrUsed = 2;
    b.palette = {0x000000, 0x40A0C0};
    b.pixels = PadRows(std::vector<Bytes>(23, Bytes(37, 1)));
    // A 32-bit picture whose alpha mask gives every pixel alpha 0: shown opaque, scaled too.
    BmpBuilder unusedAlpha = b;
    unusedAlpha.headerSize = 124;
    unusedAlpha.bitCount = 32;
    unusedAlpha.compression = 3;
    unusedAlpha.clrUsed = 0;
    unusedAlpha.palette.clear();
    unusedAlpha.masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
    unusedAlpha.pixels.clear();
    for (int i = 0; i < 37 * 23; ++i) unusedAlpha.pixels.insert(unusedAlpha.pixels.end(), {0xC0, 0xA0, 0x40, 0x00});
    for (const BmpBuilder& file : {b, unusedAlpha}) {
        for (const auto& [w, h] : {std::pair{10, 5}, {80, 61}, {37, 1}, {1, 1}}) {
            const auto [ok, px] = Load(file.Build(), w, h);
            ASSERT_EQ(ok, 1);
            for (const std::uint32_t p : px) ASSERT_EQ(p, 0xFF40A0C0u) << w << "x" << h;
        }
    }
}

// Scaled, a transparent pixel lends its neighbours none of its colour: an
// opaque red half beside a transparent green half gives red of some alpha.
TEST_F(LoadTest, ScaledLoadsWeighColoursByTheirAlpha) {
    BmpBuilder b;
    b.width = 8;
    b.height = 2;
    b.headerSize = 124;
    b.bitCount = 32;
    b.compression = 3;
    b.masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 8; ++x)
            b.pixels.insert(b.pixels.end(), {0x00, static_cast<std::uint8_t>(x < 4 ? 0x00 : 0xFF),
                                             static_cast<std::uint8_t>(x < 4 ? 0xFF : 0x00),
                                             static_cast<std::uint8_t>(x < 4 ? 0xFF : 0x00)});
    for (const auto& [w, h] : {std::pair{3, 1}, {2, 2}, {5, 3}, {1, 1}}) {
        const auto [ok, px] = Load(b.Build(), w, h);
        ASSERT_EQ(ok, 1);
        for (const std::uint32_t p : px)
            EXPECT_TRUE((p >> 24) == 0 ? p == 0 : (p & 0xFFFFFF) == 0xFF0000) << std::hex << p << " at " << w << "x" << h;
    }
}

}  // namespace
}  // namespace tessaly::test
