// The writer: exact bytes of small files, round trips through our reader,
// requests refused before anything is touched, and one table of destinations
// (links, permissions, owners, special files, limits, a kill mid-save).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>

#include "bmp/write/encode.h"
#include "shell/bmp_codec.h"
#include "support/bmp_builder.h"
#include "support/codec.h"
#include "support/failing_io.h"
#include "support/vector_check.h"

namespace tessaly::test {
namespace {

class WriterTest : public ::testing::Test {
protected:
    // A save through a file, as the host's command runs it.
    int Save(const std::string& path, std::int32_t w, std::int32_t h, std::uint8_t bits, std::uint32_t compression,
             const void* pixels) {
        ImageInfo info;
        info.width = w;
        info.height = h;
        info.bitCount = bits;
        info.compression = compression;
        return codec_->SaveBmp(path.c_str(), info, pixels);
    }
    // The same save's bytes, made in memory.
    Bytes Saved(std::int32_t w, std::int32_t h, std::uint8_t bits, std::uint32_t compression, const void* pixels) {
        return SaveBytes(*codec_, SaveRequest{*ChooseSaveFormat(bits, compression), w, h, pixels});
    }
    std::vector<std::uint32_t> LoadBack(const Bytes& file, std::int32_t w, std::int32_t h) {
        std::vector<std::uint32_t> out(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0);
        EXPECT_TRUE(LoadBytes(*codec_, file, out.data(), w, h).Ok());
        return out;
    }
    TempDir dir_;
    std::unique_ptr<BmpCodec> codec_ = std::make_unique<BmpCodec>();
};

TEST_F(WriterTest, GraySaveOfThreeByTwo) {
    const std::uint8_t gray[6] = {1, 2, 3, 4, 5, 6};
    const Bytes f = SaveBytes(*codec_, SaveRequest{SaveFormat::Gray8, 3, 2, gray});
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
    const Bytes f24 = Saved(1, 2, 24, 7, px);
    ASSERT_EQ(f24.size(), 62u);
    EXPECT_EQ(Get32(f24, 2), 62u);
    EXPECT_EQ(Get32(f24, 10), 54u);
    EXPECT_EQ(Get32(f24, 30), 0u);  // compression ignored at 24 bits
    EXPECT_EQ(Bytes(f24.begin() + 54, f24.end()), (Bytes{0x88, 0x77, 0x66, 0, 0x44, 0x33, 0x22, 0}));

    // An opaque picture (the transparent ones are the next test's).
    const std::uint32_t opaque[4] = {0xFF223344, 0xFF667788, 0xFFAABBCC, 0xFFEEFF00};
    const Bytes f32 = Saved(2, 2, 32, 1, opaque);
    ASSERT_EQ(f32.size(), 70u);
    EXPECT_EQ(Get32(f32, 10), 54u);
    EXPECT_EQ(Get32(f32, 30), 0u);
    EXPECT_EQ(Get32(f32, 54), opaque[2]);  // bottom row first
    EXPECT_EQ(Get32(f32, 58), opaque[3]);
    EXPECT_EQ(Get32(f32, 62), opaque[0]);
}

// A 32-bit save keeps its 40-byte BI_RGB form unless the pixels carry
// transparency; then a V4 header with an alpha mask keeps it for every reader.
TEST_F(WriterTest, ThirtyTwoBitSavesKeepTransparency) {
    const struct {
        const char* name;
        std::vector<std::uint32_t> px;
        std::uint32_t infoSize;
    } cases[] = {
        {"opaque", {0xFF112233, 0xFF445566, 0xFF778899, 0xFFAABBCC}, 40},
        {"every fourth byte 0", {0x00112233, 0x00445566, 0x00778899, 0x00AABBCC}, 40},
        {"mixed", {0xFF112233, 0x80445566, 0x00778899, 0xFFAABBCC}, 108},
        {"one pixel translucent", {0xFF112233, 0xFF445566, 0xFF778899, 0x01AABBCC}, 108},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes f = Saved(2, 2, 32, 0, c.px.data());
        const std::uint32_t offset = 14 + c.infoSize;
        ASSERT_EQ(f.size(), offset + 16u);
        EXPECT_EQ(Get32(f, 2), f.size());
        EXPECT_EQ(Get32(f, 10), offset);
        EXPECT_EQ(Get32(f, 14), c.infoSize);
        EXPECT_EQ(Get32(f, 30), c.infoSize == 108 ? 3u : 0u);
        EXPECT_EQ(Get32(f, offset), c.px[2]);  // bottom row first, the four bytes as they are
        if (c.infoSize == 40) {
            EXPECT_EQ(Get32(f, 34), 0u);
            continue;
        }
        EXPECT_EQ(Bytes(f.begin() + 54, f.begin() + 74),
                  (Bytes{0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0xFF, 'B', 'G', 'R', 's'}));
        EXPECT_EQ(LoadBack(f, 2, 2), c.px);  // every pixel's four bytes back
    }
}

TEST(PackRow, VectorTransparencyChecksMatchTheScalarTwin) {
    // Opaque or all-zero alpha but for one pixel (anywhere, also past the
    // vector blocks of 4096), and alpha that is only ever 0 or 0xFF, mixed.
    for (const std::size_t n : {0u, 1u, 5u, 4095u, 4096u, 4101u, 12290u}) {
        for (const std::uint32_t base : {0xFF102030u, 0x00102030u}) {
            for (const std::size_t odd : {n, std::size_t{0}, n / 2, n - 1}) {
                for (const std::uint32_t alpha : {0x00u, 0x7Fu, 0xFFu}) {
                    std::vector<std::uint32_t> px(n, base);
                    if (odd < n) px[odd] = (px[odd] & 0xFFFFFFu) | alpha << 24;
                    const bool want = kCarriesTransparency.Plain()(px);
                    for (const Simd level : AvailableSimd())
                        ASSERT_EQ(kCarriesTransparency.At(level)(px), want) << n << " " << odd << " " << alpha;
                }
            }
        }
    }
}

std::vector<std::uint32_t> RandomPixels(std::size_t n, std::mt19937& rng) {
    std::vector<std::uint32_t> v(n);
    for (auto& p : v) p = rng();
    return v;
}

TEST(PackRow, VectorBgr24MatchesTheScalarTwin) {
    test::ExpectVectorMatchesScalar(67, [](std::size_t n, Simd level) {
        std::vector<std::uint32_t> src(n);
        for (std::size_t i = 0; i < n; ++i) src[i] = 0xA0000000u + static_cast<std::uint32_t>(i * 0x010203u);
        Bytes dst(3 * n, 0xEE);
        kPackRowBgr24.At(level)(src, dst);
        return dst;
    });
}

TEST(PackRow, Bgr24DropsTheFourthByteAtEveryLength) {
    for (std::size_t n : {0u, 1u, 3u, 4u, 5u, 8u, 9u, 17u, 100u}) {
        std::vector<std::uint32_t> src(n);
        for (std::size_t i = 0; i < n; ++i) src[i] = 0xA0000000u + static_cast<std::uint32_t>(i * 0x010203u);
        Bytes dst(3 * n, 0xEE);
        kPackRowBgr24.Plain()(src, dst);
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
            const auto back = LoadBack(Saved(w, h, bits, 0, px.data()), w, h);
            // 24 bits drop the fourth byte; 32 bits keep the random alphas (a V4 file).
            for (std::size_t i = 0; i < px.size(); ++i)
                ASSERT_EQ(back[i], bits == 32 ? px[i] : px[i] | 0xFF000000u) << bits << " bits, " << i;
        }
    }
}

TEST_F(WriterTest, LongRowsGoToTheFileAsTheyLie) {
    // Rows long enough to be written from the host's memory without a copy
    // (32-bit rows, gray rows with their pad), many rows a call: the file
    // holds what a save in memory holds, rows bottom up, pads zero.
    std::mt19937 rng(3);
    const auto px = RandomPixels(1100 * 5, rng);
    const std::string path = dir_.Path("long.bmp");
    ASSERT_EQ(Save(path, 1100, 5, 32, 0, px.data()), 1);
    const Bytes f32 = Saved(1100, 5, 32, 0, px.data());
    EXPECT_EQ(ReadFile(path), f32);
    EXPECT_EQ(LoadBack(f32, 1100, 5), px);
    Bytes gray(4099 * 300);
    for (auto& g : gray) g = static_cast<std::uint8_t>(rng());
    ASSERT_EQ(codec_->SaveGrayBmp(path.c_str(), gray.data(), 4099, 300), 1);
    const Bytes f8 = SaveBytes(*codec_, SaveRequest{SaveFormat::Gray8, 4099, 300, gray.data()});
    EXPECT_EQ(ReadFile(path), f8);
    ASSERT_EQ(f8.size(), 1078u + 4100 * 300);
    for (std::size_t r = 0; r < 300; ++r) {
        const auto row = f8.begin() + 1078 + static_cast<std::ptrdiff_t>(4100 * (299 - r));
        ASSERT_TRUE(std::equal(row, row + 4099, gray.begin() + static_cast<std::ptrdiff_t>(4099 * r))) << r;
        ASSERT_EQ(row[4099], 0) << r;
    }
}

// A sink that writes as a background writer would: each write's bytes are
// read only when the sink is next called (or drained), so a band reused too
// early shows in what it keeps.
class LateSink {
public:
    [[nodiscard]] ByteSink Sink() {
        constexpr ByteSink::WriteFn write = [](void* self, std::span<const std::uint8_t> in) {
            auto& me = *static_cast<LateSink*>(self);
            me.Settle();
            me.pending_ = in;
            return true;
        };
        constexpr ByteSink::GatherFn gather = [](void* self, std::span<const std::span<const std::uint8_t>> pieces) {
            auto& me = *static_cast<LateSink*>(self);
            me.Settle();
            for (const auto& piece : pieces) me.bytes.insert(me.bytes.end(), piece.begin(), piece.end());
            return true;
        };
        constexpr ByteSink::DrainFn drain = [](void* self) {
            static_cast<LateSink*>(self)->Settle();
            return true;
        };
        return ByteSink{write, this, gather, drain};
    }
    Bytes bytes;

private:
    void Settle() {
        bytes.insert(bytes.end(), pending_.begin(), pending_.end());
        pending_ = {};
    }
    std::span<const std::uint8_t> pending_;
};

TEST_F(WriterTest, AsynchronousSinksGetTheSameBytes) {
    // Every form, through a small band split in two (many bands, the last
    // one short) and a sink that reads each band late, as through a plain sink.
    std::mt19937 rng(9);
    auto px = RandomPixels(300 * 41, rng);
    for (std::size_t i = 1; i < px.size(); ++i)
        if (rng() % 2) px[i] = px[i - 1];
    for (const SaveFormat format :
         {SaveFormat::Bgra32, SaveFormat::Bgr24, SaveFormat::Indexed8, SaveFormat::Rle8, SaveFormat::Gray8}) {
        SCOPED_TRACE(int(format));
        const SaveRequest request{format, 300, 41, px.data()};
        PreparedSave save;
        ASSERT_TRUE(PrepareSave(request, save).Ok());
        LateSink late;
        std::vector<std::uint8_t> band(2 * 4096);
        ASSERT_TRUE(WriteSave(save, late.Sink(), band).Ok());
        EXPECT_EQ(late.bytes, SaveBytes(*codec_, request));
    }
}

TEST_F(WriterTest, LargeSavesWrittenInTheBackgroundMatchTheirBytes) {
    // Files of 8 MiB and more are written by a second thread while the next
    // band is packed: the file holds exactly the save's bytes.
    std::mt19937 rng(4);
    const auto px = RandomPixels(2000 * 1500, rng);
    const std::string path = dir_.Path("large.bmp");
    ASSERT_EQ(Save(path, 2000, 1500, 24, 0, px.data()), 1);
    EXPECT_EQ(ReadFile(path), Saved(2000, 1500, 24, 0, px.data()));
}

TEST_F(WriterTest, EightBitSavesLoadBackToTheIndexersColours) {
    std::mt19937 rng(5);
    for (int trial = 0; trial < 9; ++trial) {
        // The last trial's lines are too long for the writer's band: encoded apart, then copied in.
        const auto w = static_cast<std::int32_t>(trial == 8 ? 40000 : 1 + rng() % 50);
        const auto h = static_cast<std::int32_t>(trial == 8 ? 2 : 1 + rng() % 20);
        auto px = RandomPixels(static_cast<std::size_t>(w * h), rng);
        for (std::size_t i = 1; i < px.size(); ++i)
            if (rng() % 3 == 0) px[i] = px[i - 1];  // some runs
        PaletteIndexer indexer;
        indexer.Learn(px);
        for (const std::uint32_t compression : {0u, 1u}) {
            const Bytes f = Saved(w, h, 8, compression, px.data());
            EXPECT_EQ(Get32(f, 30), compression);
            EXPECT_EQ(Get32(f, 2), f.size());
            const auto back = LoadBack(f, w, h);
            for (std::size_t i = 0; i < px.size(); ++i) {
                const std::uint8_t index = indexer.IndexOf(px[i]);
                const std::uint32_t entry = Get32(Bytes(indexer.Palette().begin(), indexer.Palette().end()), 4u * index);
                ASSERT_EQ(back[i], entry | 0xFF000000u) << i;
            }
        }
    }
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
    // A sink that fails part-way: the save says so.
    FailingSink failing(100);
    EXPECT_EQ(codec_->SaveTo(failing.Sink(), SaveRequest{SaveFormat::Bgr24, 64, 64, px.data()}), Reason::WriteFailed);
}

// What a folder holds, one entry per name in name order, "; " between them:
// "name -> target" for a symbolic link, "name/" for a folder, "name |" for a
// FIFO; for a file its mode, owner, content ("old", "new", or its size), its
// link count when not 1 and the names of its user extended attributes.
std::string Listing(const std::string& folder, const Bytes& oldBytes, const Bytes& newBytes) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    std::string out;
    for (const std::string& name : names) {
        const std::string path = folder + "/" + name;
        struct stat st {};
        lstat(path.c_str(), &st);
        std::string line = name;
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = readlink(path.c_str(), target, sizeof target);
            line += " -> " + std::string(target, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        } else if (S_ISDIR(st.st_mode)) {
            line += "/";
        } else if (S_ISFIFO(st.st_mode)) {
            line += " |";
        } else {
            char mode[16];
            std::snprintf(mode, sizeof mode, " %o ", st.st_mode & 07777);
            const passwd* owner = getpwuid(st.st_uid);
            const Bytes content = ReadFile(path);
            line += mode + std::string(owner ? owner->pw_name : std::to_string(st.st_uid)) +
                    (content == newBytes ? " new" : content == oldBytes ? " old" : " " + std::to_string(content.size()));
            if (st.st_nlink != 1) line += " " + std::to_string(st.st_nlink) + " links";
            char attributes[1024];
            const ssize_t n = llistxattr(path.c_str(), attributes, sizeof attributes);
            for (ssize_t at = 0; at < n; at += static_cast<ssize_t>(std::strlen(attributes + at)) + 1)
                if (std::strncmp(attributes + at, "user.", 5) == 0) line += " [" + std::string(attributes + at) + "]";
        }
        out += (out.empty() ? "" : "; ") + line;
    }
    return out;
}

enum class Saver { Root, Nobody };                               // who saves
enum class Ending { Plain, FileSizeLimit, KilledMidway };        // what else happens to the saving process

int gStuckSignal = -1;  // the killed row's child tells the test here that it is stuck mid-save
void StopMidSave(int) {
    const char c = 's';
    (void)!write(gStuckSignal, &c, 1);
    for (;;) pause();
}

// One destination of a save, as a row: what its folder holds before, who
// saves and how the save ends, the save's answer (-1: killed) and what the
// folder holds afterwards.
struct DestinationRow {
    std::string what;
    std::string name;  // the destination, in the row's own folder
    mode_t folderMode;
    std::function<pid_t(const std::string& folder)> make;  // a process to wait for, or 0
    Saver saver;
    Ending ending;
    int result;
    std::string after;
};

// What only a real file system shows of the routes (save_route_test.cpp has
// them all): owners, modes and extended attributes kept, links kept as links,
// hard links sharing the new picture, a FIFO's reader, a name of 255 bytes, a
// file-size limit that never kills the saver, and a save killed midway. Each
// save runs in a child process.
TEST_F(WriterTest, EveryDestinationEndsAsItsRowSays) {
    const bool root = geteuid() == 0;
    const passwd* nobodyEntry = getpwnam("nobody");
    const uid_t nobody = nobodyEntry ? nobodyEntry->pw_uid : 0;
    const gid_t nogroup = nobodyEntry ? nobodyEntry->pw_gid : 0;
    const mode_t umaskBefore = umask(022);
    chmod(dir_.Path("").c_str(), 0755);

    std::vector<std::uint32_t> px(64 * 64);
    for (std::size_t i = 0; i < px.size(); ++i) px[i] = static_cast<std::uint32_t>(i * 0x9E3779B9u);
    ASSERT_EQ(Save(dir_.Path("reference.bmp"), 64, 64, 24, 0, px.data()), 1);
    const Bytes fresh = ReadFile(dir_.Path("reference.bmp"));
    const Bytes old = {'o', 'l', 'd'};
    // The killed save's host buffer: 2048 x 2048 pixels whose top quarter
    // cannot be read, so the save (bottom row first) stops three quarters through.
    const std::size_t bigBytes = std::size_t{2048} * 2048 * 4;
    void* big = mmap(nullptr, bigBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(big, MAP_FAILED);
    ASSERT_EQ(mprotect(big, bigBytes / 4, PROT_NONE), 0);

    auto file = [&](const std::string& folder, const std::string& name, mode_t mode, uid_t owner = 0) {
        const std::string path = folder + "/" + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(old.data()), 3);
        chmod(path.c_str(), mode);
        if (chown(path.c_str(), owner, owner == 0 ? 0 : nogroup) != 0) ADD_FAILURE() << "chown " << path;
        return pid_t{0};
    };
    auto nothing = [](const std::string&) { return pid_t{0}; };
    const std::string longName = std::string(251, 'n') + ".bmp";
    const std::vector<DestinationRow> rows = {
        {"new file", "d.bmp", 0755, nothing, Saver::Root, Ending::Plain, 1, "d.bmp 644 root new"},
        {"mode 0600 and an extended attribute", "d.bmp", 0755,
         [&](const std::string& f) {
             file(f, "d.bmp", 0600);
             if (setxattr((f + "/d.bmp").c_str(), "user.tag", "x", 1, 0) != 0) ADD_FAILURE() << "no user xattrs here";
             return pid_t{0};
         },
         Saver::Root, Ending::Plain, 1, "d.bmp 600 root new [user.tag]"},
        {"mode 0640, another user's", "d.bmp", 0755, [&](const std::string& f) { return file(f, "d.bmp", 0640, nobody); },
         Saver::Root, Ending::Plain, 1, "d.bmp 640 nobody new"},
        {"symbolic link", "d.bmp", 0755,
         [&](const std::string& f) {
             symlink("t.bmp", (f + "/d.bmp").c_str());
             return file(f, "t.bmp", 0600);
         },
         Saver::Root, Ending::Plain, 1, "d.bmp -> t.bmp; t.bmp 600 root new"},
        {"dangling symbolic link", "d.bmp", 0755,
         [&](const std::string& f) { return pid_t{symlink("t.bmp", (f + "/d.bmp").c_str())}; }, Saver::Root,
         Ending::Plain, 1, "d.bmp -> t.bmp; t.bmp 644 root new"},
        {"hard link", "d.bmp", 0755,
         [&](const std::string& f) {
             file(f, "d.bmp", 0644);
             return pid_t{link((f + "/d.bmp").c_str(), (f + "/h.bmp").c_str())};
         },
         Saver::Root, Ending::Plain, 1, "d.bmp 644 root new 2 links; h.bmp 644 root new 2 links"},
        {"FIFO with a reader", "d.bmp", 0755,
         [&](const std::string& f) {
             mkfifo((f + "/d.bmp").c_str(), 0644);
             const pid_t reader = fork();
             if (reader == 0) {
                 std::ifstream in(f + "/d.bmp", std::ios::binary);
                 std::ofstream(f + "/read.bmp", std::ios::binary) << in.rdbuf();
                 _exit(0);
             }
             return reader;
         },
         Saver::Root, Ending::Plain, 1, "d.bmp |; read.bmp 644 root new"},
        {"255-byte name", longName, 0755, [&](const std::string& f) { return file(f, longName, 0644); }, Saver::Root,
         Ending::Plain, 1, longName + " 644 root new"},
        {"file-size limit below the file's size", "d.bmp", 0755, [&](const std::string& f) { return file(f, "d.bmp", 0644); },
         Saver::Root, Ending::FileSizeLimit, 0, "d.bmp 644 root old"},
        {"killed in the middle of a large save", "d.bmp", 0755,
         [&](const std::string& f) { return file(f, "d.bmp", 0644); }, Saver::Root, Ending::KilledMidway, -1,
         "d.bmp 644 root old"},
    };

    for (std::size_t i = 0; i < rows.size(); ++i) {
        const DestinationRow& row = rows[i];
        SCOPED_TRACE(row.what);
        if (!root || !nobodyEntry) {
            std::printf("skipped (needs root and a 'nobody' user): %s\n", row.what.c_str());
            continue;
        }
        const std::string folder = dir_.Path(std::to_string(i));
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        chmod(folder.c_str(), row.folderMode);
        const pid_t helper = row.make(folder);
        const std::string path = folder + "/" + row.name;

        int stuck[2];
        ASSERT_EQ(pipe(stuck), 0);
        const pid_t saver = fork();
        if (saver == 0) {
            close(stuck[0]);
            if (row.saver == Saver::Nobody && (setgroups(0, nullptr) != 0 || setgid(nogroup) != 0 || setuid(nobody) != 0))
                _exit(3);
            if (row.ending == Ending::FileSizeLimit) {
                rlimit limit{4096, 4096};  // SIGXFSZ keeps its default action: raising it kills the child
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            if (row.ending != Ending::KilledMidway) _exit(Save(path, 64, 64, 24, 0, px.data()));
            gStuckSignal = stuck[1];
            signal(SIGSEGV, StopMidSave);
            _exit(Save(path, 2048, 2048, 32, 0, big));
        }
        close(stuck[1]);
        char c = 0;
        if (row.ending == Ending::KilledMidway && read(stuck[0], &c, 1) == 1) kill(saver, SIGKILL);
        close(stuck[0]);
        int status = 0;
        ASSERT_EQ(waitpid(saver, &status, 0), saver);
        if (helper > 0) {
            // A reader still waiting for a writer is let go (it then reads nothing).
            const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) close(fd);
            waitpid(helper, nullptr, 0);
        }
        const int result = WIFEXITED(status) ? WEXITSTATUS(status)
                           : WTERMSIG(status) == SIGKILL ? -1 : 100 + WTERMSIG(status);
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(Listing(folder, old, fresh), row.after);
    }
    munmap(big, bigBytes);
    umask(umaskBefore);
}

}  // namespace
}  // namespace tessaly::test
