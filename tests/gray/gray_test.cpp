// Recognising and loading 8-bit gray files.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "shell/bmp_codec.h"
#include "support/bmp_builder.h"
#include "support/codec.h"
#include "support/counting_allocator.h"

namespace tessaly::test {
namespace {

std::vector<std::uint32_t> Ramp(std::size_t n = 256) {
    std::vector<std::uint32_t> p(n);
    for (std::uint32_t i = 0; i < n; ++i) p[i] = i * 0x010101u;
    return p;
}

BmpBuilder GrayFile(std::int32_t w, std::int32_t h, const std::vector<Bytes>& topDownRows) {
    BmpBuilder b;
    b.width = w;
    b.height = h;
    b.bitCount = 8;
    b.palette = Ramp();
    std::vector<Bytes> stored(topDownRows.rbegin(), topDownRows.rend());
    b.pixels = PadRows(stored);
    return b;
}

class GrayTest : public ::testing::Test {
protected:
    // The gray load of `file` into `out`, at the request size w x h (0 x 0: the file's own).
    Outcome Gray(const Bytes& file, Bytes& out, std::int32_t w = 0, std::int32_t h = 0) {
        return LoadGrayBytes(*codec_, file, out.data(), w, h);
    }
    TempDir dir_;
    std::unique_ptr<BmpCodec> codec_ = std::make_unique<BmpCodec>();
};

TEST_F(GrayTest, WhichFilesAreGray) {
    auto with = [](auto change) {
        BmpBuilder b = GrayFile(2, 1, {{7, 9}});
        change(b);
        return b.Build();
    };
    Bytes wrongMagic = with([](BmpBuilder&) {});
    wrongMagic[0] = 'X';
    const struct {
        const char* name;
        Bytes file;
        bool gray;
    } cases[] = {
        {"the ramp", with([](BmpBuilder&) {}), true},
        {"entry 255 pure red", with([](BmpBuilder& b) { b.palette[255] = 0xFF0000; }), false},
        {"a reserved byte set", with([](BmpBuilder& b) { b.palette[100] |= 0x01000000; }), false},
        {"24 bits", with([](BmpBuilder& b) { b.bitCount = 24; b.palette.clear(); }), false},
        {"4 bits with a gray table", with([](BmpBuilder& b) { b.bitCount = 4; b.palette = Ramp(16); }), false},
        {"wrong magic", wrongMagic, false},
        {"bit count 0x0108", with([](BmpBuilder& b) { b.bitCount = 0x0108; }), false},
        {"headers only", with([](BmpBuilder& b) { b.palette.clear(); b.pixels.clear(); }), false},
        {"V5 header", with([](BmpBuilder& b) { b.headerSize = 124; }), true},
        {"16 declared entries, all ramp", with([](BmpBuilder& b) { b.clrUsed = 16; b.palette = Ramp(16); }), true},
        {"16 declared entries, one off", with([](BmpBuilder& b) { b.clrUsed = 16; b.palette = Ramp(16); b.palette[15] = 0; }), false},
        {"RLE8 with the ramp", with([](BmpBuilder& b) { b.compression = 1; b.pixels = {1, 7, 1, 9, 0, 1}; }), true},
        {"top-down RLE8 (refused by a load)", with([](BmpBuilder& b) { b.compression = 1; b.height = -1; b.pixels = {1, 7, 1, 9, 0, 1}; }), false},
        {"the ramp and no pixel data (refused by a load)", with([](BmpBuilder& b) { b.pixels.clear(); }), false},
        {"marked BI_BITFIELDS: no masks at 8 bits", with([](BmpBuilder& b) { b.compression = 3; }), true},
        // A profile that converts the colours shows levels other than the indices; sRGB's shows them as they are.
        {"V5 with a gamma 1.8 profile", with([](BmpBuilder& b) { b.headerSize = 124; b.colourSpace = 0x4D424544;
             b.profile = MatrixTrcProfile({{{0.4361, 0.2225, 0.0139}, {0.3851, 0.7169, 0.0971}, {0.1431, 0.0606, 0.7141}}}, 1.8); }), false},
        {"V5 with an sRGB profile", with([](BmpBuilder& b) { b.headerSize = 124; b.colourSpace = 0x4D424544;
             b.profile = MatrixTrcProfile({{{0.4361, 0.2225, 0.0139}, {0.3851, 0.7169, 0.0971}, {0.1431, 0.0606, 0.7141}}}, 2.2); }), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CheckGrayBytes(*codec_, c.file).Ok(), c.gray);
    }
    EXPECT_EQ(codec_->IsGrayFile(dir_.Path("missing.bmp").c_str()), 0);
}

TEST_F(GrayTest, LoadsTopRowFirstWithoutAlignmentBytes) {
    const struct {
        std::int32_t w, h;
    } sizes[] = {{5, 3}, {8, 2}, {1, 1}};
    for (const auto& s : sizes) {
        SCOPED_TRACE(std::to_string(s.w) + "x" + std::to_string(s.h));
        std::vector<Bytes> rows;
        Bytes want;
        for (std::int32_t y = 0; y < s.h; ++y) {
            Bytes row;
            for (std::int32_t x = 0; x < s.w; ++x) row.push_back(static_cast<std::uint8_t>(y * 50 + x * 3 + 1));
            want.insert(want.end(), row.begin(), row.end());
            rows.push_back(row);
        }
        Bytes out(want.size() + 4, 0xEE);
        EXPECT_EQ(Gray(GrayFile(s.w, s.h, rows).Build(), out), Reason::None);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(want.size())), want);
        EXPECT_EQ(Bytes(out.end() - 4, out.end()), Bytes(4, 0xEE));  // nothing past width x height
    }
}

TEST_F(GrayTest, GrayLevelsAreWhatALoadShowsAndTheRequestSizeIsTheBuffer) {
    // Two declared entries: indices beyond them show black in a load, so they are level 0 here too.
    BmpBuilder b = GrayFile(4, 1, {{0, 1, 200, 255}});
    b.clrUsed = 2;
    b.palette = Ramp(2);
    const Bytes file = b.Build();
    std::vector<std::uint32_t> shown(4);
    ASSERT_TRUE(LoadBytes(*codec_, file, shown.data(), 4, 1).Ok());
    Bytes out(4, 0xEE);
    ASSERT_EQ(Gray(file, out), Reason::None);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(out[i], shown[i] & 0xFF) << i;
    const struct {
        std::int32_t w, h;
        Outcome want;
    } requests[] = {{4, 1, Reason::None}, {0, 0, Reason::None}, {8, 8, Reason::GraySize}, {4, 2, Reason::GraySize}};
    for (const auto& r : requests) {
        Bytes buffer(4, 0xEE);
        EXPECT_EQ(Gray(file, buffer, r.w, r.h), r.want) << r.w << "x" << r.h;
        if (r.want != Reason::None) {
            EXPECT_EQ(buffer, Bytes(4, 0xEE));
        }
    }
}

TEST_F(GrayTest, NonGrayFilesLeaveTheBufferUntouched) {
    BmpBuilder colour = GrayFile(2, 1, {{7, 9}});
    colour.palette[255] = 0xFF0000;
    BmpBuilder rgb = colour;
    rgb.bitCount = 24;
    rgb.palette.clear();
    for (const auto& file : {colour.Build(), rgb.Build()}) {
        Bytes out(2, 0xEE);
        EXPECT_EQ(Gray(file, out), Reason::NotGray);
        EXPECT_EQ(out, Bytes(2, 0xEE));
    }
    Bytes out(2, 0xEE);
    EXPECT_EQ(codec_->LoadGray(dir_.Path("missing.bmp").c_str(), GrayTarget{out.data(), std::nullopt}), Reason::CannotOpen);
    EXPECT_EQ(out, Bytes(2, 0xEE));
}

TEST_F(GrayTest, RleAndV5GrayFilesLoad) {
    BmpBuilder rle = GrayFile(3, 2, {{1, 2, 3}, {4, 5, 6}});
    rle.compression = 1;
    rle.pixels = {0x00, 0x03, 4, 5, 6, 0x00, 0x00, 0x00, 0x00, 0x03, 1, 2, 3, 0x00, 0x00, 0x01};
    BmpBuilder v5 = GrayFile(3, 2, {{1, 2, 3}, {4, 5, 6}});
    v5.headerSize = 124;
    for (const auto& file : {rle.Build(), v5.Build()}) {
        Bytes out(6, 0);
        EXPECT_TRUE(CheckGrayBytes(*codec_, file).Ok());
        EXPECT_EQ(Gray(file, out), Reason::None);
        EXPECT_EQ(out, (Bytes{1, 2, 3, 4, 5, 6}));
    }
}

TEST_F(GrayTest, SaveTestLoadRoundTrip) {
    std::mt19937 rng(3);
    for (int trial = 0; trial < 10; ++trial) {
        const auto w = static_cast<std::int32_t>(1 + rng() % 40), h = static_cast<std::int32_t>(1 + rng() % 17);
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        Bytes gray(static_cast<std::size_t>(w * h));
        for (auto& g : gray) g = static_cast<std::uint8_t>(rng());
        const Bytes file = SaveBytes(*codec_, SaveRequest{SaveFormat::Gray8, w, h, gray.data()});
        EXPECT_TRUE(CheckGrayBytes(*codec_, file).Ok());
        Bytes out(gray.size(), 0);
        EXPECT_EQ(Gray(file, out), Reason::None);
        EXPECT_EQ(out, gray);
    }
}

TEST_F(GrayTest, LoadsHoldOneByteAPixelAndNonGrayFilesDecodeNothing) {
    BmpBuilder b = GrayFile(2000, 1000, std::vector<Bytes>(1000, Bytes(2000, 9)));
    Bytes out(2000 * 1000);
    {
        const Bytes file = b.Build();
        AllocationWatch watch;
        ASSERT_EQ(Gray(file, out), Reason::None);
        EXPECT_LT(watch.Peak(), 64u * 1024);  // straight into the host's rows: no copy of the image
    }
    b.palette[3] = 0xFF0000;
    const Bytes colour = b.Build();
    AllocationWatch watch;
    EXPECT_EQ(Gray(colour, out), Reason::NotGray);
    EXPECT_LT(watch.Largest(), 64u * 1024);
}

TEST_F(GrayTest, SuiteGrayPaletteIsNotTheRamp) {
    const std::string root = BmpSuiteDir();
    if (root.empty()) GTEST_SKIP() << "the BMP suite is not beside the project";
    EXPECT_EQ(codec_->IsGrayFile((root + "/g/pal8gs.bmp").c_str()), 0);
}

}  // namespace
}  // namespace tessaly::test
