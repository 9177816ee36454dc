#include "core/core.h"
#include "support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A private store for the test.
struct store {
    temp_dir dir;
    const char *saved;
    store() : saved(var_dir)
    {
        var_dir = dir.path.c_str();
        mkdir((dir / "sent").c_str(), 0700);
    }
    ~store() { var_dir = saved; }
    std::string sent(const std::string &name) const { return dir / ("sent/" + name); }
};

std::string joined(const strlist &l)
{
    std::string s;
    for (size_t i = 0; i < l.count; i++)
        s += std::string(l.items[i]) + "|";
    return s;
}

} // namespace

TEST(AllocateMessageNumber, FirstMessageIsOneAndSeqRecordsIt)
{
    store s;
    EXPECT_EQ(allocate_message_number(), 1);
    EXPECT_EQ(read_text(s.sent(".seq")), "1\n");
    EXPECT_TRUE(is_directory(s.sent("1").c_str()));
    EXPECT_EQ(allocate_message_number(), 2);
    EXPECT_EQ(read_text(s.sent(".seq")), "2\n");
}

TEST(AllocateMessageNumber, ExistingRecordsAreSkippedWhateverSeqSays)
{
    store s;
    write_text(s.sent(".seq"), "7\n");
    mkdir(s.sent("8").c_str(), 0700);
    mkdir(s.sent("9").c_str(), 0700);
    EXPECT_EQ(allocate_message_number(), 10);
    EXPECT_EQ(read_text(s.sent(".seq")), "10\n");

    // A damaged or lost .seq restarts at 1 and walks past every record.
    mkdir(s.sent("1").c_str(), 0700);
    mkdir(s.sent("2").c_str(), 0700);
    write_text(s.sent(".seq"), "garbage");
    EXPECT_EQ(allocate_message_number(), 3);
    unlink(s.sent(".seq").c_str());
    EXPECT_EQ(allocate_message_number(), 4);
    symlink(s.sent("elsewhere").c_str(), s.sent(".seq").c_str());
    EXPECT_EQ(allocate_message_number(), 5); // a link is not read, and is replaced
    EXPECT_EQ(read_text(s.sent(".seq")), "5\n");
}

TEST(AllocateMessageNumber, ConcurrentAllocationsNeverShareANumber)
{
    store s;
    const int procs = 8, each = 25;
    std::vector<pid_t> pids;
    std::vector<int> reads;
    for (int p = 0; p < procs; p++) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            for (int i = 0; i < each; i++) {
                long long n = allocate_message_number();
                if (write(fds[1], &n, sizeof n) != sizeof n)
                    _exit(2);
            }
            _exit(0);
        }
        close(fds[1]);
        pids.push_back(pid);
        reads.push_back(fds[0]);
    }
    std::set<long long> seen;
    for (int fd : reads) {
        long long n;
        while (read(fd, &n, sizeof n) == sizeof n)
            EXPECT_TRUE(seen.insert(n).second) << "number " << n << " handed out twice";
        close(fd);
    }
    for (pid_t pid : pids) {
        int st;
        waitpid(pid, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(procs * each));
    EXPECT_EQ(*seen.rbegin(), procs * each);
}

TEST(AllocateMessageNumber, AnUnwritableStoreIsFatalWithThePath)
{
    store s;
    rmdir(s.sent("").c_str());
    run_result r = run_in_child([] {
        program_name = "kelv";
        allocate_message_number();
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kelv: " + s.sent(".seq.lock") + ": No such file or directory\n");
}

TEST(LockMessage, ANonBlockingAttemptFailsWhileAnotherProcessHoldsIt)
{
    store s;
    mkdir(s.sent("5").c_str(), 0700);
    unique_fd held = lock_message(5, false);
    ASSERT_TRUE(held.valid());
    run_result r = run_in_child([] {
        unique_fd again = lock_message(5, true);
        printf("%d %d", again.valid(), errno == EWOULDBLOCK);
    });
    EXPECT_EQ(r.out, "0 1");
    held.reset();
    r = run_in_child([] { printf("%d", lock_message(5, true).valid()); });
    EXPECT_EQ(r.out, "1");
    EXPECT_FALSE(lock_message(6, true).valid()); // no record directory
}

TEST(Markers, AreCreatedOnceNeverTruncatedAndNeverFollowed)
{
    store s;
    mkdir(s.sent("3").c_str(), 0700);
    EXPECT_FALSE(has_marker(3, "incomplete"));
    touch_marker(3, "incomplete");
    EXPECT_TRUE(has_marker(3, "incomplete"));
    struct stat st;
    ASSERT_EQ(stat(s.sent("3/incomplete").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    write_text(s.sent("3/revoking"), "content");
    touch_marker(3, "revoking");
    EXPECT_EQ(read_text(s.sent("3/revoking")), "content");
    write_text(s.dir / "outside", "");
    symlink((s.dir / "outside").c_str(), s.sent("3/failed").c_str());
    EXPECT_TRUE(has_marker(3, "failed"));
    touch_marker(3, "failed"); // must not create or touch the link's target
    EXPECT_EQ(read_text(s.dir / "outside"), "");
    touch_marker(4, "incomplete"); // no record: silently nothing
    EXPECT_FALSE(has_marker(4, "incomplete"));
}

TEST(Recipients, FileOrderAndDuplicatesAreKept)
{
    store s;
    mkdir(s.sent("2").c_str(), 0700);
    write_text(s.sent("2/recipients"), "bob\nalice\tcarol  bob\n\n");
    strlist l;
    read_recipients(2, l);
    EXPECT_EQ(joined(l), "bob|alice|carol|bob|");
    strlist none;
    read_recipients(99, none);
    EXPECT_EQ(none.count, 0u);
}

TEST(Deliveries, TheFirstLineOfAUserCountsAndAMissingCountIsZero)
{
    store s;
    mkdir(s.sent("4").c_str(), 0700);
    write_text(s.sent("4/delivery"), "alice 100 2\nbob 101\nalice 102 5\n\ncarol\n");
    strlist users, counts;
    read_deliveries(4, users, counts);
    EXPECT_EQ(joined(users), "alice|bob|carol|");
    EXPECT_EQ(joined(counts), "2|0|0|");
}

TEST(Deliveries, AppendWritesWholeLinesAndDropsOverlongOnes)
{
    store s;
    mkdir(s.sent("4").c_str(), 0700);
    int64_t before = now();
    append_delivery(4, "alice", 3);
    append_delivery(4, std::string(390, 'u').c_str(), 1); // 400 bytes or more: dropped
    append_delivery(4, "bob", 0);
    std::string log = read_text(s.sent("4/delivery"));
    long long t1 = 0, t2 = 0;
    char u1[8], u2[8];
    int c1 = -1, c2 = -1;
    ASSERT_EQ(sscanf(log.c_str(), "%7s %lld %d\n%7s %lld %d\n", u1, &t1, &c1, u2, &t2, &c2), 6) << log;
    EXPECT_STREQ(u1, "alice");
    EXPECT_EQ(c1, 3);
    EXPECT_STREQ(u2, "bob");
    EXPECT_EQ(c2, 0);
    EXPECT_GE(t1, before);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
    struct stat st;
    stat(s.sent("4/delivery").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(ListSentNumbers, NumericOrderWithoutSequenceOrDeletionEntries)
{
    store s;
    for (const char *d : {"10", "9", "100", ".deleting-5", "x1"})
        mkdir(s.sent(d).c_str(), 0700);
    write_text(s.sent(".seq"), "100\n");
    strlist l;
    ASSERT_EQ(list_sent_numbers(l), 0);
    EXPECT_EQ(joined(l), "9|10|100|");
    rmdir(s.sent("10").c_str());
    var_dir = "/nonexistent-kelvora";
    strlist none;
    EXPECT_EQ(list_sent_numbers(none), -1);
}

TEST(ParseMessageArgument, RefusalsNameTheArgumentAsTyped)
{
    auto fatal = [](const char *arg) {
        return run_in_child([arg] {
            program_name = "kelv";
            printf("%lld", static_cast<long long>(parse_message_argument(arg)));
        });
    };
    EXPECT_EQ(fatal(nullptr).err, "kelv: missing message ID\n");
    EXPECT_EQ(fatal("").err, "kelv: missing message ID\n");
    for (const char *bad : {"12a", "-1", "+1", " 1", "#12", "1234567890123456789"}) {
        run_result r = fatal(bad);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("kelv: no such message: ") + bad + "\n");
    }
    EXPECT_EQ(fatal("0042").out, "42");
    EXPECT_EQ(fatal("000").out, "0");
}

TEST(PrintTextCell, CountsCharactersNotBytesAndPadsToForty)
{
    auto cell = [](const std::string &t) {
        return run_in_child([t] { print_text_cell(t.data(), t.size()); }).out;
    };
    EXPECT_EQ(cell("abc"), "abc" + std::string(37, ' '));
    EXPECT_EQ(cell(""), std::string(40, ' '));
    std::string accented;
    for (int i = 0; i < 45; i++)
        accented += i % 2 ? "é" : "a";
    std::string out = cell(accented);
    std::string expected;
    for (int i = 0; i < 40; i++)
        expected += i % 2 ? "é" : "a";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(cell(std::string(40, 'x')), std::string(40, 'x'));
    EXPECT_EQ(cell(std::string(41, 'x')), std::string(40, 'x'));
}
