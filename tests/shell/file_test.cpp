// The file service: reads report short counts, a replacing write puts its
// file in place only on Commit, and memory files hand over what was written.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "bmp/read/byte_reader.h"
#include "shell/file.h"
#include "support/bmp_builder.h"

namespace tessaly::test {
namespace {

TEST(File, ReadsSkipsAndShortReads) {
    TempDir dir;
    const std::string path = dir.Write("f", Bytes{1, 2, 3, 4, 5});
    File f;
    ASSERT_TRUE(f.Open(path.c_str(), kOpenRead));
    EXPECT_EQ(f.GetLength(), 5u);
    std::uint8_t buf[8] = {};
    EXPECT_EQ(f.Read(buf, 2), 2u);
    f.Seek(3);
    EXPECT_EQ(f.Read(buf, 8), 2u);  // fewer only at the end
    EXPECT_EQ(buf[0], 4);
    EXPECT_EQ(f.GetPosition(), 5u);
    EXPECT_TRUE(f.Close());
    File missing;
    EXPECT_FALSE(missing.Open(dir.Path("nope").c_str(), kOpenRead));
    EXPECT_FALSE(missing.Open(dir.Path("").c_str(), kOpenRead));  // a folder is not a file
    const std::string fifo = dir.Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(missing.Open(fifo.c_str(), kOpenRead));  // nor is a FIFO, and opening it does not wait
}

TEST(StreamReader, TakeIsAllOrNothingAndPaddingIsZero) {
    TempDir dir;
    const Bytes bytes{1, 2, 3, 4, 5, 6, 7};
    const std::string path = dir.Write("f", bytes);
    File f;
    ASSERT_TRUE(f.Open(path.c_str(), kOpenRead));
    std::uint8_t scratch[4];
    for (StreamReader in : {StreamReader(f, scratch), StreamReader(bytes, scratch)}) {
        const auto three = in.Take(3);
        ASSERT_TRUE(three);
        EXPECT_EQ(Bytes(three->begin(), three->end()), (Bytes{1, 2, 3}));
        in.Seek(4);
        const auto two = in.Take(2);
        ASSERT_TRUE(two);
        EXPECT_EQ(Bytes(two->begin(), two->end()), (Bytes{5, 6}));
        EXPECT_FALSE(in.Take(2));  // one byte left: nothing is taken
        const auto padded = in.TakeZeroPadded(3);
        EXPECT_EQ(Bytes(padded.begin(), padded.end()), (Bytes{7, 0, 0}));
        in.Seek(1);  // back
        const auto again = in.Take(2);
        ASSERT_TRUE(again);
        EXPECT_EQ(Bytes(again->begin(), again->end()), (Bytes{2, 3}));
    }
    StreamReader failing(bytes, scratch, 5);  // a source that fails as a disk would, at byte 5
    EXPECT_TRUE(failing.Take(4));
    EXPECT_THROW((void)failing.Take(2), FileError);
}

TEST(ReplacingFile, CommitReplacesAndDestructionDiscards) {
    TempDir dir;
    const std::string path = dir.Write("dest", Bytes{9, 9});
    {
        ReplacingFile w;
        ASSERT_TRUE(w.Begin(path.c_str()));
        ASSERT_TRUE(w.Write(Bytes{1, 2, 3}));
        EXPECT_EQ(dir.FileCount(), 2u);
    }  // never committed
    EXPECT_EQ(ReadFile(path), (Bytes{9, 9}));
    EXPECT_EQ(dir.FileCount(), 1u);
    ReplacingFile w;
    ASSERT_TRUE(w.Begin(path.c_str()));
    ASSERT_TRUE(w.Write(Bytes{1, 2, 3}));
    ASSERT_TRUE(w.Commit());
    EXPECT_EQ(ReadFile(path), (Bytes{1, 2, 3}));
    EXPECT_EQ(dir.FileCount(), 1u);
    ReplacingFile nowhere;
    EXPECT_FALSE(nowhere.Begin(dir.Path("no/such/dest").c_str()));
}

TEST(FileStatus, ReadOnlyMeansNoWriteBitForAnyone) {
    TempDir dir;
    const std::string path = dir.Write("f", Bytes{1});
    EXPECT_EQ(GetStatus(path.c_str()).attribute & kAttributeReadOnly, 0u);
    chmod(path.c_str(), 0444);
    EXPECT_NE(GetStatus(path.c_str()).attribute & kAttributeReadOnly, 0u);
    chmod(path.c_str(), 0400 | 0020);  // one group write bit is enough to count as writable
    EXPECT_EQ(GetStatus(path.c_str()).attribute & kAttributeReadOnly, 0u);
    EXPECT_FALSE(GetStatus(dir.Path("missing").c_str()).exists);
}

TEST(MemFile, DetachHandsOverEverythingWritten) {
    MemFile m;
    const Bytes a(1500, 7);
    m.Write(a.data(), a.size());
    m.Write(a.data(), 3);
    EXPECT_EQ(m.GetLength(), 1503u);
    const Bytes block = m.Detach();
    EXPECT_EQ(block.size(), 1503u);
    EXPECT_EQ(block.back(), 7);
}

}  // namespace
}  // namespace tessaly::test
