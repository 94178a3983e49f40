// The file service: reads report short counts, a save puts exactly its
// planned bytes in place only on Commit (the destinations themselves are a
// table in tests/bmp/write/writer_test.cpp), and memory files hand over what
// was written.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>

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

TEST(File, OpeningATerminalNeverMakesItTheCallersOwn) {
    // A session with no controlling terminal opens a terminal named as an
    // image: the open is refused (not a regular file) and the session still
    // has no terminal, so closing it cannot send the host SIGHUP.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setsid() < 0) _exit(2);
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) _exit(2);
        File f;
        if (f.Open(ptsname(master), kOpenRead)) _exit(3);
        const int tty = ::open("/dev/tty", O_RDWR);
        _exit(tty < 0 && errno == ENXIO ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
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

TEST(ReplacingFile, CommitsExactlyThePlannedBytesAndNothingElse) {
    TempDir dir;
    const std::string path = dir.Write("dest", Bytes{9, 9});
    {
        ReplacingFile w;
        ASSERT_TRUE(w.Begin(path.c_str(), 3));
        ASSERT_TRUE(w.Write(Bytes{1, 2, 3}));
    }  // never committed
    ReplacingFile shortOfPlan, pastPlan;
    ASSERT_TRUE(shortOfPlan.Begin(path.c_str(), 3));
    ASSERT_TRUE(shortOfPlan.Write(Bytes{1, 2}));
    EXPECT_FALSE(shortOfPlan.Commit());
    ASSERT_TRUE(pastPlan.Begin(path.c_str(), 3));
    EXPECT_FALSE(pastPlan.Write(Bytes{1, 2, 3, 4}));
    EXPECT_FALSE(pastPlan.Commit());
    EXPECT_EQ(ReadFile(path), (Bytes{9, 9}));
    EXPECT_EQ(dir.FileCount(), 1u);
    ReplacingFile w;
    ASSERT_TRUE(w.Begin(path.c_str(), 3));
    ASSERT_TRUE(w.Write(Bytes{1, 2, 3}));
    ASSERT_TRUE(w.Commit());
    EXPECT_EQ(ReadFile(path), (Bytes{1, 2, 3}));
    EXPECT_EQ(dir.FileCount(), 1u);
}

// A file with two names is rewritten in place. When the rewrite fails part-way
// (here the file-size limit drops below the new size after Begin), the old
// bytes go back under both names.
TEST(ReplacingFile, AFailedRewriteInPlacePutsTheOldBytesBack) {
    TempDir dir;
    const Bytes old(100, 7), next(10000, 1);
    const std::string path = dir.Write("dest", old), other = dir.Path("other");
    ASSERT_EQ(link(path.c_str(), other.c_str()), 0);
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        ReplacingFile w;
        if (!w.Begin(path.c_str(), next.size()) || !w.Write(next)) _exit(2);
        rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(w.Commit() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_EQ(ReadFile(other), old);
    EXPECT_EQ(dir.FileCount(), 2u);
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
