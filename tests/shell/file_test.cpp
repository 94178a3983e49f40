// The file service on a real file system: reads of regular files only, a
// save that puts exactly its planned bytes in place only on Commit, a rewrite
// in place that puts the old bytes back, and destinations that other users
// or mounts shape (links planted in sticky folders, a file mounted over a
// name). The routes themselves are a table in save_route_test.cpp; the kinds
// of destination a table in tests/bmp/write/writer_test.cpp.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>

#include "bmp/read/byte_reader.h"
#include "shell/input_file.h"
#include "shell/replacing_file.h"
#include "support/bmp_builder.h"
#include "support/failing_io.h"

namespace tessaly::test {
namespace {

TEST(InputFile, OpensRegularFilesOnlyAndNeverWaits) {
    TempDir dir;
    const std::string fifo = dir.Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string path;
        Outcome want;
        int error;
    } cases[] = {
        {dir.Write("f", Bytes{1, 2, 3, 4, 5}), {}, 0},
        {dir.Path("nope"), Reason::CannotOpen, ENOENT},
        {dir.Path(""), Reason::CannotOpen, EISDIR},  // a folder is not a file
        {fifo, Reason::CannotOpen, EINVAL},           // nor is a FIFO, and opening it does not wait
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        InputFile f;
        const Outcome opened = f.Open(c.path.c_str());
        EXPECT_EQ(opened, c.want);
        EXPECT_EQ(opened.systemError, c.error);
        EXPECT_EQ(f.Source().length, opened.Ok() ? 5u : 0u);
    }
}

TEST(InputFile, OpeningATerminalNeverMakesItTheCallersOwn) {
    // A session with no controlling terminal opens a terminal named as an
    // image: the open is refused (not a regular file) and the session still
    // has no terminal, so closing it cannot send the host SIGHUP.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setsid() < 0) _exit(2);
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) _exit(2);
        InputFile f;
        if (f.Open(ptsname(master)).Ok()) _exit(3);
        const int tty = ::open("/dev/tty", O_RDWR);
        _exit(tty < 0 && errno == ENXIO ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ByteReader, TakeIsAllOrNothingPaddingIsZeroAndErrorsAreNoted) {
    TempDir dir;
    const Bytes bytes{1, 2, 3, 4, 5, 6, 7};
    InputFile f;
    ASSERT_TRUE(f.Open(dir.Write("f", bytes).c_str()).Ok());
    std::uint8_t scratch[4];
    for (const ByteSource& source : {f.Source(), MemorySource(bytes)}) {
        ByteReader in(source, scratch);
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
        EXPECT_FALSE(in.Failed());
    }
    // A source that fails as a disk would, at byte 5: the source ends there, and the reader says why.
    const FailingSource failing(bytes, 5);
    ByteReader in(failing.Source(), scratch);
    EXPECT_TRUE(in.Take(4));
    EXPECT_FALSE(in.Take(2));
    EXPECT_TRUE(in.Failed());
    EXPECT_EQ(in.Error(), EIO);
    EXPECT_EQ(in.Remaining(), 0u);
}

bool Put(ReplacingFile& file, const Bytes& bytes) {
    const ByteSink sink = file.Sink();
    return sink.write(sink.context, bytes);
}

TEST(ReplacingFile, CommitsExactlyThePlannedBytesAndNothingElse) {
    TempDir dir;
    const std::string path = dir.Write("dest", Bytes{9, 9});
    {
        ReplacingFile w;
        ASSERT_TRUE(w.Begin(path.c_str(), 3).Ok());
        ASSERT_TRUE(Put(w, Bytes{1, 2, 3}));
    }  // never committed
    ReplacingFile shortOfPlan, pastPlan;
    ASSERT_TRUE(shortOfPlan.Begin(path.c_str(), 3).Ok());
    ASSERT_TRUE(Put(shortOfPlan, Bytes{1, 2}));
    EXPECT_FALSE(shortOfPlan.Commit().Ok());
    ASSERT_TRUE(pastPlan.Begin(path.c_str(), 3).Ok());
    EXPECT_FALSE(Put(pastPlan, Bytes{1, 2, 3, 4}));
    EXPECT_FALSE(pastPlan.Commit().Ok());
    EXPECT_EQ(ReadFile(path), (Bytes{9, 9}));
    EXPECT_EQ(dir.FileCount(), 1u);
    ReplacingFile w;
    ASSERT_TRUE(w.Begin(path.c_str(), 3).Ok());
    ASSERT_TRUE(Put(w, Bytes{1, 2, 3}));
    ASSERT_TRUE(w.Commit().Ok());
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
        if (!w.Begin(path.c_str(), next.size()).Ok() || !Put(w, next)) _exit(2);
        rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(w.Commit().Ok() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_EQ(ReadFile(other), old);
    EXPECT_EQ(dir.FileCount(), 2u);
}

// A name that is free when the save begins and holds a link when it ends: the
// new file is never linked over it, and the link's target is never made.
TEST(ReplacingFile, ALinkPlantedDuringTheSaveIsNeverFollowed) {
    TempDir dir;
    const std::string path = dir.Path("d.bmp"), elsewhere = dir.Path("elsewhere.bmp");
    ReplacingFile w;
    ASSERT_TRUE(w.Begin(path.c_str(), 3).Ok());
    ASSERT_EQ(symlink(elsewhere.c_str(), path.c_str()), 0);
    ASSERT_TRUE(Put(w, Bytes{1, 2, 3}));
    const Outcome committed = w.Commit();
    EXPECT_EQ(committed, Reason::CannotWrite);
    EXPECT_EQ(committed.systemError, EEXIST);
    EXPECT_FALSE(std::filesystem::exists(elsewhere));
    EXPECT_TRUE(std::filesystem::is_symlink(path));
    EXPECT_EQ(dir.FileCount(), 1u);
}

// Writes a sysctl of fs.protected_* for one test and puts the old value back.
class Protection {
public:
    Protection(const char* name, int value) : path_(std::string("/proc/sys/fs/") + name) {
        std::ifstream(path_) >> old_;
        std::ofstream(path_) << value;
        int now = -1;
        std::ifstream(path_) >> now;
        set_ = now == value;
    }
    ~Protection() { std::ofstream(path_) << old_; }
    [[nodiscard]] bool Set() const { return set_; }

private:
    std::string path_;
    int old_ = 0;
    bool set_ = false;
};

// Another user's link or file in a sticky world-writable folder (/tmp, say):
// root's save meets it exactly as root's plain writer (open for writing and
// creating) does, under either setting of the kernel's protections.
TEST(ReplacingFile, WhatOthersPlantInStickyFoldersIsTreatedAsByAPlainWriter) {
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody) GTEST_SKIP() << "needs root and a 'nobody' user";
    struct Row {
        const char* what;
        const char* sysctl;
        int level;
        std::function<void(const std::string& sticky, const std::string& target)> plant;
    };
    const auto link = [&](const std::string& sticky, const std::string& target) {
        ASSERT_EQ(symlink(target.c_str(), (sticky + "/d.bmp").c_str()), 0);
        ASSERT_EQ(lchown((sticky + "/d.bmp").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    };
    const auto file = [&](const std::string& sticky, const std::string&) {
        std::ofstream(sticky + "/d.bmp") << "old";
        ASSERT_EQ(chown((sticky + "/d.bmp").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        chmod((sticky + "/d.bmp").c_str(), 0666);
    };
    const auto fileThroughOurLink = [&](const std::string& sticky, const std::string& target) {
        file(sticky, target);
        ASSERT_EQ(rename((sticky + "/d.bmp").c_str(), (sticky + "/planted.bmp").c_str()), 0);
        ASSERT_EQ(symlink("planted.bmp", (sticky + "/d.bmp").c_str()), 0);
    };
    const Row rows[] = {
        {"another user's file through our own link, protected", "protected_regular", 1, fileThroughOurLink},
        {"another user's dangling link, protected", "protected_symlinks", 1, link},
        {"another user's dangling link, unprotected", "protected_symlinks", 0, link},
        {"another user's file, protected", "protected_regular", 1, file},
        {"another user's file, unprotected", "protected_regular", 0, file},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Protection protection(row.sysctl, row.level);
        if (!protection.Set()) GTEST_SKIP() << "cannot set fs." << row.sysctl;
        // What each writer leaves: "refused" or the bytes at the destination and at the link's target.
        auto outcome = [&](const std::function<bool(const std::string&)>& write) {
            TempDir dir;
            const std::string sticky = dir.Path("tmp"), target = dir.Path("target.bmp");
            mkdir(sticky.c_str(), 0700);
            chmod(sticky.c_str(), 01777);
            row.plant(sticky, target);
            const bool ok = write(sticky + "/d.bmp");
            std::error_code ec;
            const auto size = std::filesystem::file_size(sticky + "/d.bmp", ec);
            return (ok ? std::string("written") : std::string("refused")) + "; target " +
                   (std::filesystem::exists(target) ? "made" : "absent") + "; d.bmp " +
                   (ec ? std::string("unreadable") : std::to_string(size) + " bytes");
        };
        const std::string plain = outcome([](const std::string& path) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            const bool ok = fd >= 0 && ::write(fd, "new", 3) == 3;
            if (fd >= 0) ::close(fd);
            return ok;
        });
        const std::string ours = outcome([](const std::string& path) {
            ReplacingFile w;
            return w.Begin(path.c_str(), 3).Ok() && Put(w, Bytes{'n', 'e', 'w'}) && w.Commit().Ok();
        });
        EXPECT_EQ(ours, plain);
    }
}

// A file mounted over a name (as containers mount single files) cannot be
// replaced by a rename: the save rewrites it in place instead.
TEST(ReplacingFile, AFileMountedOverTheNameIsRewrittenInPlace) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount";
    TempDir dir;
    const std::string source = dir.Write("source.bmp", Bytes(50, 7)), name = dir.Write("name.bmp", Bytes(20, 9));
    if (mount(source.c_str(), name.c_str(), nullptr, MS_BIND, nullptr) != 0) GTEST_SKIP() << "cannot bind-mount here";
    const Bytes next(30, 1);
    {
        ReplacingFile w;
        EXPECT_TRUE(w.Begin(name.c_str(), next.size()).Ok() && Put(w, next) && w.Commit().Ok());
    }
    EXPECT_EQ(ReadFile(name), next);
    EXPECT_EQ(ReadFile(source), next);  // the same file
    umount(name.c_str());
    EXPECT_EQ(ReadFile(name), Bytes(20, 9));
    EXPECT_EQ(dir.FileCount(), 2u);  // no temporary left behind
}

}  // namespace
}  // namespace tessaly::test
