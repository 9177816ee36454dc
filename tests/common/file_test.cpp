#include "common/common.h"
#include "store.h"
#include "support.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

TEST(ReadFile, AcceptsTheExactLimitAndRefusesOneByteMore)
{
    temp_dir d;
    write_text(d / "ten", "0123456789");
    write_text(d / "eleven", "0123456789A");
    textbuf b;
    EXPECT_EQ(read_file((d / "ten").c_str(), 10, true, b), 0);
    EXPECT_STREQ(b.data, "0123456789");
    textbuf c;
    errno = 0;
    EXPECT_EQ(read_file((d / "eleven").c_str(), 10, true, c), -1);
    EXPECT_EQ(errno, EFBIG);
    EXPECT_EQ(c.len, 0u);
}

TEST(ReadFile, RefusesEverythingButRegularFiles)
{
    temp_dir d;
    ASSERT_EQ(mkfifo((d / "fifo").c_str(), 0644), 0);
    mkdir((d / "dir").c_str(), 0755);
    for (auto [name, error] : {std::pair{"fifo", EINVAL}, {"dir", EISDIR}}) {
        textbuf b;
        errno = 0;
        EXPECT_EQ(read_file((d / name).c_str(), 100, false, b), -1) << name;
        EXPECT_EQ(errno, error) << name;
    }
    textbuf b;
    EXPECT_EQ(read_file("/dev/null", 100, false, b), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(read_file((d / "missing").c_str(), 100, false, b), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(ReadFile, SymbolicLinksAreFollowedOnlyWhenAllowed)
{
    temp_dir d;
    write_text(d / "target", "secret");
    ASSERT_EQ(symlink((d / "target").c_str(), (d / "link").c_str()), 0);
    textbuf b;
    errno = 0;
    EXPECT_EQ(read_file((d / "link").c_str(), 100, true, b), -1);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(read_file((d / "link").c_str(), 100, false, b), 0);
    EXPECT_STREQ(b.data, "secret");
}

TEST(ReadFile, EmptyFileLeavesTheBufferUntouched)
{
    temp_dir d;
    write_text(d / "empty", "");
    textbuf b;
    EXPECT_EQ(read_file((d / "empty").c_str(), 10, true, b), 0);
    EXPECT_EQ(b.data, nullptr);
}

TEST(ReadFd, KeepsAtMostTheLimitCountingWhatWasThere)
{
    fd_pair p;
    ASSERT_EQ(make_pipe(p), 0);
    ASSERT_EQ(write_all(p.write_end.get(), "abcdefghij", 10), 0);
    p.write_end.reset();
    textbuf b;
    textbuf_append_str(b, "12");
    EXPECT_EQ(read_fd(p.read_end.get(), 6, b), 0);
    EXPECT_STREQ(b.data, "12abcd");
}

TEST(WriteFileAtomic, ReplacesTheTargetWithExactlyTheBytes)
{
    temp_dir d;
    std::string path = d / "seq";
    write_text(path, "old content that is longer");
    ASSERT_EQ(write_file_atomic(path.c_str(), "7\n", 2, 0600), 0);
    EXPECT_EQ(read_text(path), "7\n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u & ~static_cast<unsigned>(umask(umask(0))));
    EXPECT_EQ(list_dir(d.path), std::vector<std::string>{"seq"});
}

TEST(WriteFileAtomic, LeftoverTemporaryFileIsReplaced)
{
    temp_dir d;
    write_text(d / "f.tmp", "stale");
    ASSERT_EQ(write_file_atomic((d / "f").c_str(), "new", 3, 0644), 0);
    EXPECT_EQ(list_dir(d.path), std::vector<std::string>{"f"});
}

TEST(WriteFileAtomic, FailedWriteLeavesNeitherTemporaryFileNorChangedTarget)
{
    temp_dir d;
    std::string path = d / "msg";
    write_text(path, "original");
    // A file-size limit makes the write step itself fail with EFBIG.
    run_result r = run_in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {4, 4};
        setrlimit(RLIMIT_FSIZE, &rl);
        errno = 0;
        int rc = write_file_atomic(path.c_str(), "a much longer replacement", 25, 0600);
        printf("%d %d", rc, errno);
    });
    EXPECT_EQ(r.out, "-1 " + std::to_string(EFBIG));
    EXPECT_EQ(read_text(path), "original");
    EXPECT_EQ(list_dir(d.path), std::vector<std::string>{"msg"});
}

TEST(WriteFileAtomic, FailedRenameRemovesTheTemporaryFile)
{
    temp_dir d;
    mkdir((d / "target").c_str(), 0755);
    write_text(d / "target/inside", "x");
    errno = 0;
    EXPECT_EQ(write_file_atomic((d / "target").c_str(), "data", 4, 0600), -1);
    EXPECT_NE(errno, 0);
    EXPECT_EQ(list_dir(d.path), std::vector<std::string>{"target"});
    errno = 0;
    EXPECT_EQ(write_file_atomic((d / "nodir/file").c_str(), "data", 4, 0600), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(WriteFileAtomic, NeverWritesThroughASymbolicLinkAtTheTemporaryName)
{
    temp_dir d;
    write_text(d / "victim", "keep");
    ASSERT_EQ(symlink((d / "victim").c_str(), (d / "f.tmp").c_str()), 0);
    ASSERT_EQ(write_file_atomic((d / "f").c_str(), "new", 3, 0644), 0);
    EXPECT_EQ(read_text(d / "victim"), "keep");
    EXPECT_EQ(read_text(d / "f"), "new");
}

// A file replaced by one rename must be on disk before its new name is, or a
// crash may leave the name pointing at an empty file. Traced in kelv send,
// whose every record goes through write_file_atomic: each renamed temporary
// file is flushed after its last write; and a flush that fails fails the
// write, leaving nothing behind.
TEST(WriteFileAtomic, FlushesTheDataBeforeTheRenameAndFailsWhenItCannot)
{
    test_store s;
    run_options o;
    o.env = {"KELV_TEST=1", "KELV_VAR=" + s.dir.path, "KELV_TEST_TTY=" + s.tty, "ASAN_OPTIONS=detect_leaks=0"};
    std::string trace = s.path("trace");
    run_result r = run_program({"strace", "-f", "-y", "-qq", "-o", trace, "-e", "trace=write,fsync,rename",
                                kelv_path(), "send", "--to", s.me, "x"},
                               o);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> calls = lines(read_text(trace));
    int renamed = 0;
    for (size_t i = 0; i < calls.size(); i++) {
        size_t at = calls[i].find(" rename(\"");
        if (at == std::string::npos || calls[i].find(".tmp\", ") == std::string::npos)
            continue;
        std::string tmp = calls[i].substr(at + 9, calls[i].find('"', at + 9) - at - 9);
        // The calls on the temporary file, by the descriptor's path that
        // strace shows (links resolved): the last must be the flush.
        char *dir = realpath(tmp.substr(0, tmp.rfind('/')).c_str(), nullptr);
        ASSERT_NE(dir, nullptr) << tmp;
        tmp = dir + tmp.substr(tmp.rfind('/'));
        free(dir);
        std::string last;
        for (size_t k = 0; k < i; k++)
            if (calls[k].find("<" + tmp + ">") != std::string::npos)
                last = calls[k];
        EXPECT_NE(last.find(" fsync("), std::string::npos) << "before renaming " << tmp << ": " << last;
        renamed++;
    }
    EXPECT_GE(renamed, 3) << read_text(trace); // .seq, msg, recipients

    test_store failing;
    o.env = {"KELV_TEST=1", "KELV_VAR=" + failing.dir.path, "KELV_TEST_TTY=" + failing.tty,
             "ASAN_OPTIONS=detect_leaks=0"};
    r = run_program({"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fsync", "-e", "inject=fsync:error=EIO",
                     kelv_path(), "send", "--to", failing.me, "x"},
                    o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kelv: " + failing.path("sent/.seq") + ": Input/output error\n");
    EXPECT_EQ(list_dir(failing.path("sent")), std::vector<std::string>({".seq.lock", "1"}));
}

TEST(Paths, ExistenceAndDirectoriesDoNotFollowLinks)
{
    temp_dir d;
    ASSERT_EQ(symlink((d / "nowhere").c_str(), (d / "dangling").c_str()), 0);
    ASSERT_EQ(symlink(d.path.c_str(), (d / "dirlink").c_str()), 0);
    EXPECT_TRUE(path_exists((d / "dangling").c_str()));
    EXPECT_FALSE(path_exists((d / "nowhere").c_str()));
    EXPECT_TRUE(is_directory(d.path.c_str()));
    EXPECT_FALSE(is_directory((d / "dirlink").c_str()));
    EXPECT_EQ(fsync_path(d.path.c_str()), 0);
    EXPECT_EQ(syncfs_path(d.path.c_str()), 0);
    EXPECT_EQ(fsync_path((d / "nowhere").c_str()), -1);
}

TEST(ParseNumber, OneToEighteenDigitsOnly)
{
    int64_t v = -7;
    EXPECT_TRUE(parse_number("0", v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(parse_number("999999999999999999", v));
    EXPECT_EQ(v, 999999999999999999LL);
    EXPECT_TRUE(parse_number("007", v));
    EXPECT_EQ(v, 7);
    v = 5;
    for (const char *bad : {"", "+1", "-1", "1 ", " 1", "12a", "1000000000000000000", "0x10"}) {
        EXPECT_FALSE(parse_number(bad, v)) << bad;
        EXPECT_EQ(v, 5) << bad;
    }
    EXPECT_TRUE(is_all_digits("0123"));
    EXPECT_FALSE(is_all_digits(""));
    EXPECT_FALSE(is_all_digits("12.3"));
}

TEST(ListNumbered, TakesOnlyMessageNumbersInNumericOrder)
{
    temp_dir d;
    for (const char *name : {"10", "9", "100", "x", "9.tmp", ".seq", ".deleting-5", "1234567890123456789"})
        write_text(d / name, "");
    mkdir((d / "42").c_str(), 0755);
    strlist l;
    ASSERT_EQ(list_numbered(d.path.c_str(), l), 0);
    std::string got;
    for (size_t i = 0; i < l.count; i++)
        got += std::string(l.items[i]) + " ";
    EXPECT_EQ(got, "9 10 42 100 ");
    strlist none;
    errno = 0;
    EXPECT_EQ(list_numbered((d / "missing").c_str(), none), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(UniqueFd, ClosesOnceAndKeepsErrno)
{
    int raw = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(raw, 0);
    {
        unique_fd fd(raw);
        unique_fd moved(std::move(fd));
        EXPECT_FALSE(fd.valid());
        EXPECT_EQ(moved.get(), raw);
        errno = EPERM;
        moved.reset();
        EXPECT_EQ(errno, EPERM);
    }
    EXPECT_EQ(fcntl(raw, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}
