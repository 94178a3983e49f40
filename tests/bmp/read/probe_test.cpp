// The header probe on files the tests build: what it accepts, what it reports.
#include <gtest/gtest.h>

#include <memory>

#include "shell/bmp_codec.h"
#include "support/bmp_builder.h"
#include "support/codec.h"

namespace tessaly::test {
namespace {

struct ProbeCase {
    const char* name;
    Bytes file;
    bool ok;
    std::int32_t width = 0, height = 0;
    std::uint8_t bitCount = 0;
    std::uint32_t compression = 0;
};

Bytes HeadersOnly(std::uint32_t headerSize, std::int32_t w, std::int32_t h, std::uint16_t bits, std::uint32_t comp = 0) {
    BmpBuilder b;
    b.headerSize = headerSize;
    b.width = w;
    b.height = h;
    b.bitCount = bits;
    b.compression = comp;
    return b.Build();
}

Bytes Truncated(Bytes b, std::size_t n) {
    b.resize(n);
    return b;
}

TEST(Probe, EdgeCases) {
    Bytes wrongMagic = HeadersOnly(40, 4, 4, 24);
    wrongMagic[0] = 'M';
    wrongMagic[1] = 'B';
    Bytes lowerMagic = HeadersOnly(40, 4, 4, 24);
    lowerMagic[0] = 'b';
    lowerMagic[1] = 'm';
    const ProbeCase cases[] = {
        {"54-byte file", HeadersOnly(40, 5, 3, 8), true, 5, 3, 8, 0},
        {"53 bytes", Truncated(HeadersOnly(40, 5, 3, 8), 53), false},
        {"14 bytes", Truncated(HeadersOnly(40, 5, 3, 8), 14), false},
        {"13 bytes", Truncated(HeadersOnly(40, 5, 3, 8), 13), false},
        {"empty", {}, false},
        {"MB magic", wrongMagic, false},
        {"bm magic", lowerMagic, false},
        {"V4 header", HeadersOnly(108, 9, 2, 32, 3), true, 9, 2, 32, 3},
        {"V5 header", HeadersOnly(124, 9, 2, 16, 3), true, 9, 2, 16, 3},
        {"core header", HeadersOnly(12, 300, 200, 8), true, 300, 200, 8, 0},
        {"top-down", HeadersOnly(40, 4, -7, 24), true, 4, -7, 24, 0},
        {"bit count 0x0118", HeadersOnly(40, 4, 4, 0x0118), true, 4, 4, 0x18, 0},
        {"any compression", HeadersOnly(40, 4, 4, 24, 0xDEADBEEF), true, 4, 4, 24, 0xDEADBEEF},
        {"16-byte OS/2 header: fields it lacks are 0", HeadersOnly(16, 6, 2, 8, 1), true, 6, 2, 8, 0},
        {"negative width", HeadersOnly(40, -4, 4, 1), true, -4, 4, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ImageInfo info;
        info.width = 111;  // a failed probe leaves the record as it was
        info.gray = 77;
        ASSERT_EQ(ProbeBytes(c.file, info).Ok(), c.ok);
        EXPECT_EQ(info.gray, 77);
        if (!c.ok) {
            EXPECT_EQ(info.width, 111);
            continue;
        }
        EXPECT_EQ(info.x, 0);
        EXPECT_EQ(info.y, 0);
        EXPECT_EQ(info.width, c.width);
        EXPECT_EQ(info.height, c.height);
        EXPECT_EQ(info.bitCount, c.bitCount);
        EXPECT_EQ(info.compression, c.compression);
    }
    TempDir dir;
    ImageInfo info;
    EXPECT_EQ(std::make_unique<BmpCodec>()->ProbeBmpFile(dir.Path("missing.bmp").c_str(), info), 0);
}

}  // namespace
}  // namespace tessaly::test
