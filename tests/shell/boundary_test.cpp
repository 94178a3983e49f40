// The boundary in bytes: records filled with a sentinel, a call through the
// exports, and a check that only the documented bytes changed.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/bmp_builder.h"
#include "support/plugin.h"

namespace tessaly::test {
namespace {

constexpr std::uint8_t kSentinel = 0xA5;

template <class Record>
Record Poisoned() {
    Record r;
    std::memset(&r, kSentinel, sizeof r);
    return r;
}

// Offsets of bytes that differ from the sentinel.
template <class Record>
std::vector<std::size_t> ChangedBytes(const Record& r) {
    std::vector<std::size_t> out;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&r);
    for (std::size_t i = 0; i < sizeof r; ++i)
        if (bytes[i] != kSentinel) out.push_back(i);
    return out;
}

std::vector<std::size_t> Range(std::size_t from, std::size_t count) {
    std::vector<std::size_t> out(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = from + i;
    return out;
}

TEST(Boundary, BaseProcSelectorZeroWritesIdentityAndNothingElse) {
    auto d = Poisoned<PluginDescriptor>();
    EXPECT_EQ(LoadedPlugin().baseProc(0, 12345, &d), 0);
    const std::uint8_t id[16] = {0x7E, 0x18, 0xF4, 0xE3, 0xDC, 0xDA, 0x77, 0x44,
                                 0x86, 0x6F, 0x97, 0x0D, 0xE5, 0x4F, 0x09, 0x80};
    EXPECT_EQ(std::memcmp(d.pluginId, id, 16), 0);
    EXPECT_STREQ(d.pluginName, "Bitmap Plugin");
    EXPECT_STREQ(d.pluginDescription, "This Plug In is Use to operate bmp file");
    EXPECT_EQ(d.trailing[0], 0u);
    EXPECT_EQ(d.trailing[1], 0u);
    EXPECT_EQ(d.trailing[2], 0u);
    // The id, the 14 name bytes, the 40 description bytes and the three words; a
    // zero byte inside the texts stays a "change" only where the text has one.
    std::vector<std::size_t> allowed = Range(0x004, 16);
    for (auto v : {Range(0x014, 14), Range(0x118, 40), Range(0x224, 12)}) allowed.insert(allowed.end(), v.begin(), v.end());
    for (const std::size_t at : ChangedBytes(d))
        EXPECT_TRUE(std::find(allowed.begin(), allowed.end(), at) != allowed.end()) << "byte " << at;
    EXPECT_EQ(reinterpret_cast<const std::uint8_t*>(&d)[0x014 + 14], kSentinel);
    EXPECT_EQ(reinterpret_cast<const std::uint8_t*>(&d)[0x118 + 40], kSentinel);
}

TEST(Boundary, BaseProcOtherSelectorsTouchNothing) {
    for (const std::int32_t selector : {1, 2, -1}) {
        auto d = Poisoned<PluginDescriptor>();
        EXPECT_EQ(LoadedPlugin().baseProc(selector, 0, &d), 0);
        EXPECT_TRUE(ChangedBytes(d).empty()) << "selector " << selector;
    }
    EXPECT_EQ(LoadedPlugin().paramProc(), 0);
}

TEST(Boundary, UnknownCommandsTouchNeitherRecord) {
    for (const std::int32_t command : {0, 1, 5, 10, -1, 0x7FFFFFFF}) {
        auto request = Poisoned<ImageRequest>();
        auto record = Poisoned<ImageRecord>();
        EXPECT_EQ(LoadedPlugin().imageProc(command, &request, &record), 0) << command;
        EXPECT_TRUE(ChangedBytes(request).empty()) << command;
        EXPECT_TRUE(ChangedBytes(record).empty()) << command;
    }
}

TEST(Boundary, GetTypeWritesExactlyFourBytes) {
    auto request = Poisoned<ImageRequest>();
    auto record = Poisoned<ImageRecord>();
    EXPECT_EQ(LoadedPlugin().imageProc(ImageCmdGetType, &request, &record), 0);
    EXPECT_EQ(ChangedBytes(record), Range(0x01C, 4));
    EXPECT_EQ(std::memcmp(record.typeText, "BMP\0", 4), 0);
}

TEST(Boundary, GetInfoWritesTheSixInfoWordsOnSuccessOnly) {
    TempDir dir;
    BmpBuilder b;
    b.width = 7;
    b.height = -3;
    b.bitCount = 24;
    b.pixels.assign(3 * 24, 0);
    const std::string path = dir.Write("a.bmp", b.Build());

    auto request = Poisoned<ImageRequest>();
    std::memcpy(request.filePath, path.c_str(), path.size() + 1);
    auto record = Poisoned<ImageRecord>();
    EXPECT_EQ(LoadedPlugin().imageProc(ImageCmdGetInfo, &request, &record), 0);
    EXPECT_EQ(record.info.x, 0);
    EXPECT_EQ(record.info.y, 0);
    EXPECT_EQ(record.info.width, 7);
    EXPECT_EQ(record.info.height, -3);
    EXPECT_EQ(record.info.bitCount, 24u);  // widened with zeros: 18 00 00 00
    EXPECT_EQ(record.info.compression, 0u);
    for (const std::size_t at : ChangedBytes(record)) EXPECT_TRUE(at >= 0x004 && at < 0x01C) << at;

    const std::string missing = dir.Path("missing.bmp");
    std::memcpy(request.filePath, missing.c_str(), missing.size() + 1);
    auto untouched = Poisoned<ImageRecord>();
    EXPECT_EQ(LoadedPlugin().imageProc(ImageCmdGetInfo, &request, &untouched), 1);
    EXPECT_TRUE(ChangedBytes(untouched).empty());
}

TEST(Boundary, IsGrayWritesOnlyIsGrayAsZeroOrOne) {
    TempDir dir;
    auto request = Poisoned<ImageRequest>();
    const std::string missing = dir.Path("missing.bmp");
    std::memcpy(request.filePath, missing.c_str(), missing.size() + 1);
    auto record = Poisoned<ImageRecord>();
    EXPECT_EQ(LoadedPlugin().imageProc(ImageCmdIsGray, &request, &record), 0);
    EXPECT_EQ(record.isGray, 0);
    EXPECT_EQ(ChangedBytes(record), Range(0x120, 4));
}

TEST(Boundary, FailedLoadAndSaveReportOneAndLeaveTheRecord) {
    TempDir dir;
    std::vector<std::uint32_t> pixels(4, 0x12345678);
    for (const std::int32_t command : {ImageCmdLoad, ImageCmdSave}) {
        auto request = Poisoned<ImageRequest>();
        const std::string path = command == ImageCmdLoad ? dir.Path("missing.bmp") : dir.Path("no/such/dir.bmp");
        std::memcpy(request.filePath, path.c_str(), path.size() + 1);
        request.width = 2;
        request.height = 2;
        request.bitCount = 24;
        auto record = Poisoned<ImageRecord>();
        record.pixels = pixels.data();
        EXPECT_EQ(LoadedPlugin().imageProc(command, &request, &record), 1) << command;
        EXPECT_EQ(pixels, std::vector<std::uint32_t>(4, 0x12345678));
    }
}

TEST(Boundary, NullPointersAndUnterminatedPathsFailTouchingNothing) {
    TempDir dir;
    BmpBuilder b;
    b.width = 2;
    b.height = 2;
    b.pixels = PadRows({Bytes(6, 1), Bytes(6, 2)});
    const std::string path = dir.Write("a.bmp", b.Build());
    EXPECT_EQ(LoadedPlugin().baseProc(0, 0, nullptr), 0);
    for (const std::int32_t command : {2, 3, 4, 6, 7, 8, 9}) {
        const std::int32_t failure = command <= 4 ? 1 : 0;
        SCOPED_TRACE(command);
        std::vector<std::uint32_t> pixels(4, 0x12345678);
        auto request = Poisoned<ImageRequest>();
        std::memcpy(request.filePath, path.c_str(), path.size() + 1);
        request.width = request.height = 2;
        request.bitCount = 24;
        request.compression = 0;
        auto record = Poisoned<ImageRecord>();
        const auto pristine = record;
        if (command != 9) {
            EXPECT_EQ(LoadedPlugin().imageProc(command, nullptr, &record), failure);
        }
        EXPECT_EQ(LoadedPlugin().imageProc(command, &request, nullptr), failure);
        if (command == 9) continue;  // reads no request and no pixels
        record.pixels = nullptr;
        if (command != 2 && command != 6) {
            EXPECT_EQ(LoadedPlugin().imageProc(command, &request, &record), failure);
        }
        record.pixels = pixels.data();
        // A path without a terminator in its 260 bytes: the plug-in must not read on into the record.
        std::memset(request.filePath, 'a', sizeof request.filePath);
        EXPECT_EQ(LoadedPlugin().imageProc(command, &request, &record), failure);
        record.pixels = pristine.pixels;
        EXPECT_TRUE(ChangedBytes(record).empty());
        EXPECT_EQ(pixels, std::vector<std::uint32_t>(4, 0x12345678));
    }
}

}  // namespace
}  // namespace tessaly::test
