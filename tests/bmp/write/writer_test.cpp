// The writer: exact bytes of small files, round trips through our reader, and
// saves that fail without touching what they would have replaced.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <random>

#include "bmp/write/encode.h"
#include "shell/bmp_codec.h"
#include "support/bmp_builder.h"

namespace tessaly::test {
namespace {

class WriterTest : public ::testing::Test {
protected:
    int Save(const std::string& path, std::int32_t w, std::int32_t h, std::uint8_t bits, std::uint32_t compression,
             const void* pixels) {
        ImageInfo info;
        info.width = w;
        info.height = h;
        info.bitCount = bits;
        info.compression = compression;
        return codec_->SaveBmp(path.c_str(), info, pixels);
    }
    std::vector<std::uint32_t> LoadBack(const std::string& path, std::int32_t w, std::int32_t h) {
        std::vector<std::uint32_t> out(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0);
        EXPECT_EQ(codec_->LoadBmpFile(path.c_str(), out.data(), w, h), 1);
        return out;
    }
    TempDir dir_;
    std::unique_ptr<BmpCodec> codec_ = std::make_unique<BmpCodec>();
};

TEST_F(WriterTest, GraySaveOfThreeByTwo) {
    const std::uint8_t gray[6] = {1, 2, 3, 4, 5, 6};
    const std::string path = dir_.Path("g.bmp");
    ASSERT_EQ(codec_->SaveGrayBmp(path.c_str(), gray, 3, 2), 1);
    const Bytes f = ReadFile(path);
    ASSERT_EQ(f.size(), 1086u);
    EXPECT_EQ(Get32(f, 2), 1086u);
    EXPECT_EQ(Get32(f, 10), 1078u);
    EXPECT_EQ(Get32(f, 14), 40u);
    EXPECT_EQ(f[28], 8);
    EXPECT_EQ(Get32(f, 30), 0u);
    for (std::uint32_t i = 0; i < 256; ++i) ASSERT_EQ(Get32(f, 54 + 4 * i), i * 0x010101u);
    // Bottom row first: the buffer's second row, then a pad byte.
    EXPECT_EQ(Bytes(f.begin() + 1078, f.end()), (Bytes{4, 5, 6, 0, 1, 2, 3, 0}));
}

TEST_F(WriterTest, Rgb24AndRgb32Layouts) {
    const std::uint32_t px[4] = {0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00};
    const std::string p24 = dir_.Path("a.bmp"), p32 = dir_.Path("b.bmp");
    ASSERT_EQ(Save(p24, 1, 2, 24, 7, px), 1);
    const Bytes f24 = ReadFile(p24);
    ASSERT_EQ(f24.size(), 62u);
    EXPECT_EQ(Get32(f24, 2), 62u);
    EXPECT_EQ(Get32(f24, 10), 54u);
    EXPECT_EQ(Get32(f24, 30), 0u);  // compression ignored at 24 bits
    EXPECT_EQ(Bytes(f24.begin() + 54, f24.end()), (Bytes{0x88, 0x77, 0x66, 0, 0x44, 0x33, 0x22, 0}));

    ASSERT_EQ(Save(p32, 2, 2, 32, 1, px), 1);
    const Bytes f32 = ReadFile(p32);
    ASSERT_EQ(f32.size(), 70u);
    EXPECT_EQ(Get32(f32, 10), 54u);
    EXPECT_EQ(Get32(f32, 30), 0u);
    EXPECT_EQ(Get32(f32, 54), px[2]);  // bottom row first, alpha bytes unchanged
    EXPECT_EQ(Get32(f32, 58), px[3]);
    EXPECT_EQ(Get32(f32, 62), px[0]);
}

std::vector<std::uint32_t> RandomPixels(std::size_t n, std::mt19937& rng) {
    std::vector<std::uint32_t> v(n);
    for (auto& p : v) p = rng();
    return v;
}

TEST(PackRow, Bgr24DropsTheFourthByteAtEveryLength) {
    for (std::size_t n : {0u, 1u, 3u, 4u, 5u, 8u, 9u, 17u, 100u}) {
        std::vector<std::uint32_t> src(n);
        for (std::size_t i = 0; i < n; ++i) src[i] = 0xA0000000u + static_cast<std::uint32_t>(i * 0x010203u);
        Bytes dst(3 * n, 0xEE);
        PackRowBgr24(src, dst);
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(dst[3 * i], static_cast<std::uint8_t>(src[i])) << n << ":" << i;
            ASSERT_EQ(dst[3 * i + 1], static_cast<std::uint8_t>(src[i] >> 8)) << n << ":" << i;
            ASSERT_EQ(dst[3 * i + 2], static_cast<std::uint8_t>(src[i] >> 16)) << n << ":" << i;
        }
    }
}

TEST_F(WriterTest, RandomImagesRoundTripAt24And32Bits) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 12; ++trial) {
        const auto w = static_cast<std::int32_t>(1 + rng() % 67), h = static_cast<std::int32_t>(1 + rng() % 23);
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        const auto px = RandomPixels(static_cast<std::size_t>(w * h), rng);
        for (const std::uint8_t bits : {24, 32}) {
            const std::string path = dir_.Path("r.bmp");
            ASSERT_EQ(Save(path, w, h, bits, 0, px.data()), 1);
            const auto back = LoadBack(path, w, h);
            for (std::size_t i = 0; i < px.size(); ++i) ASSERT_EQ(back[i], px[i] | 0xFF000000u) << bits << " bits, " << i;
        }
    }
}

TEST_F(WriterTest, EightBitSavesLoadBackToTheIndexersColours) {
    std::mt19937 rng(5);
    for (int trial = 0; trial < 8; ++trial) {
        const auto w = static_cast<std::int32_t>(1 + rng() % 50), h = static_cast<std::int32_t>(1 + rng() % 20);
        auto px = RandomPixels(static_cast<std::size_t>(w * h), rng);
        for (std::size_t i = 1; i < px.size(); ++i)
            if (rng() % 3 == 0) px[i] = px[i - 1];  // some runs
        PaletteIndexer indexer;
        indexer.Learn(px);
        for (const std::uint32_t compression : {0u, 1u}) {
            const std::string path = dir_.Path("i.bmp");
            ASSERT_EQ(Save(path, w, h, 8, compression, px.data()), 1);
            const Bytes f = ReadFile(path);
            EXPECT_EQ(Get32(f, 30), compression);
            EXPECT_EQ(Get32(f, 2), f.size());
            const auto back = LoadBack(path, w, h);
            for (std::size_t i = 0; i < px.size(); ++i) {
                const std::uint8_t index = indexer.IndexOf(px[i]);
                const std::uint32_t entry = Get32(Bytes(indexer.Palette().begin(), indexer.Palette().end()), 4u * index);
                ASSERT_EQ(back[i], entry | 0xFF000000u) << i;
            }
        }
    }
}

// Runs `body` in a child process with writes limited to `limit` bytes; its exit status.
int InChildWithFileLimit(rlim_t limit, const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit r{limit, limit};
        setrlimit(RLIMIT_FSIZE, &r);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

TEST_F(WriterTest, FailedSavesLeaveTheDestinationAsItWas) {
    const std::string path = dir_.Path("keep.bmp");
    const Bytes original = {'o', 'l', 'd', ' ', 'f', 'i', 'l', 'e'};
    std::vector<std::uint32_t> px(64 * 64, 0xFF336699u);
    auto expectUnchanged = [&](const char* why) {
        SCOPED_TRACE(why);
        EXPECT_EQ(ReadFile(path), original);
        EXPECT_EQ(dir_.FileCount(), 1u);  // no temporary file left behind
    };
    dir_.Write("keep.bmp", original);
    for (const std::uint8_t bits : {0, 1, 2, 4, 16, 31, 33, 255}) {
        EXPECT_EQ(Save(path, 64, 64, bits, 0, px.data()), 0) << int{bits};
        expectUnchanged("unsupported bit count");
    }
    EXPECT_EQ(Save(path, -1, 64, 24, 0, px.data()), 0);
    EXPECT_EQ(Save(path, 64, -1, 32, 0, px.data()), 0);
    EXPECT_EQ(codec_->SaveGrayBmp(path.c_str(), px.data(), 4, -1), 0);
    expectUnchanged("negative size");
    // A side of zero makes no loadable file.
    for (const auto& [w, h] : {std::pair{0, 5}, {5, 0}, {0, 0}}) {
        EXPECT_EQ(Save(path, w, h, 24, 0, px.data()), 0) << w << "x" << h;
        EXPECT_EQ(Save(path, w, h, 8, 1, px.data()), 0) << w << "x" << h;
        EXPECT_EQ(codec_->SaveGrayBmp(path.c_str(), px.data(), w, h), 0) << w << "x" << h;
    }
    expectUnchanged("zero size");
    // bfSize cannot describe a file over 4 GiB: refused before anything is read or written.
    EXPECT_EQ(Save(path, 40000, 30000, 32, 0, px.data()), 0);
    expectUnchanged("file too large");

    // Writes that fail part-way: the save reports failure, and nothing is replaced.
    const int child = InChildWithFileLimit(4096, [&] { return Save(path, 64, 64, 24, 0, px.data()) == 0 ? 0 : 1; });
    EXPECT_EQ(child, 0);
    expectUnchanged("write failure");

    // A read-only destination (no write bit for anyone) is refused, even for root.
    chmod(path.c_str(), 0444);
    EXPECT_EQ(Save(path, 64, 64, 24, 0, px.data()), 0);
    expectUnchanged("read-only destination");
    chmod(path.c_str(), 0644);

    // A folder that does not exist: nothing is created.
    EXPECT_EQ(Save(dir_.Path("no/such/folder.bmp"), 4, 4, 24, 0, px.data()), 0);
    expectUnchanged("missing folder");

    // Success replaces the file.
    ASSERT_EQ(Save(path, 64, 64, 24, 0, px.data()), 1);
    EXPECT_EQ(ReadFile(path).size(), 54u + 64 * 192);
    EXPECT_EQ(dir_.FileCount(), 1u);
}

}  // namespace
}  // namespace tessaly::test
