// kelv purge: the durations it accepts and refuses, which records are old
// enough, and what a deletion removes.
#include "report_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

struct purge_fixture : ::testing::Test {
    test_store s;
    event_capture events;
    std::string a = "daemon", b = "bin";
    std::string author = author_name();

    std::vector<std::string> numbers()
    {
        strlist l;
        list_sent_numbers(l);
        return std::vector<std::string>(l.items, l.items + l.count);
    }
};

} // namespace

TEST(PurgeDuration, AcceptedAndRefusedTexts)
{
    struct {
        const char *text;
        int64_t seconds;
    } good[] = {{"90d", 90 * 86400}, {"12h", 12 * 3600}, {"30m", 1800}, {"0d", 0}, {"1m", 60},
                {"106751991167300d", 106751991167300LL * 86400}};
    for (const auto &g : good) {
        int64_t seconds = -1;
        EXPECT_TRUE(parse_duration(g.text, seconds)) << g.text;
        EXPECT_EQ(seconds, g.seconds) << g.text;
    }
    // The last three are well formed, but their seconds do not fit.
    for (const char *bad : {"", "d", "90", "90x", "9.5d", "-1d", "+1d", "90D", "90 d", " 90d", "d90",
                            "1234567890123456789d", "106751991167301d", "2562047788015216h",
                            "999999999999999999m"}) {
        int64_t seconds = -1;
        EXPECT_FALSE(parse_duration(bad, seconds)) << bad;
        EXPECT_EQ(seconds, -1) << bad;
    }
}

TEST_F(purge_fixture, RefusalsTouchNothing)
{
    make_record(s, 1, 1000, {a});
    s.expect_refused({"purge"}, "missing duration, for example 90d");
    s.expect_refused({"purge", ""}, "missing duration, for example 90d");
    for (const char *bad : {"d", "90", "90x", "9.5d", "-1d", "90D", "90 d", "106751991167301d"})
        s.expect_refused({"purge", bad}, std::string("invalid duration: ") + bad + " (for example 90d, 12h, 30m)");
    s.expect_refused({"purge", "1d", "2d"}, "too many arguments for purge: 2d (kelv --help for the guide)");
}

TEST_F(purge_fixture, NothingToDelete)
{
    EXPECT_EQ(s.kelv({"purge", "90d"}).out, "No messages older than 90d.\n");
    make_record(s, 1, now() - 3600, {a});
    run_result r = s.kelv({"purge", "2h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "No messages older than 2h.\n");
    EXPECT_EQ(numbers(), std::vector<std::string>{"1"});
}

TEST_F(purge_fixture, AMessageDatedExactlyAtTheCutoffStays)
{
    // Retried until the whole run falls within one second, so that purge's
    // clock read the same second as ours.
    for (int attempt = 0; attempt < 5; attempt++) {
        int64_t t = now();
        make_record(s, 1, t - 7200, {a});
        make_record(s, 2, t - 7201, {a});
        run_result r = run_command(purge, {"120m"});
        if (now() != t)
            continue;
        EXPECT_EQ(r.out, "Deleted 1 message older than 120m.\n");
        EXPECT_EQ(numbers(), std::vector<std::string>{"1"});
        return;
    }
    GTEST_SKIP() << "the clock never stood still for a whole run";
}

TEST_F(purge_fixture, DeletionRemovesTheRecordAndEveryMailboxFile)
{
    int64_t old = now() - 100 * 86400;
    make_record(s, 3, old, {a, b});
    write_text(s.sent(3, "revoked"), "1000\n"); // revoked messages go like any other
    put_copy(s, a, 3);
    write_confirmation(s, b, 3, "1000 desktop\n");
    write_text(s.mailbox(b, "read/3"), "copy");
    put_marker(s, a, 3, "term", 100);
    put_marker(s, b, 3, "gui", 100);
    make_record(s, 4, old, {a});
    make_record(s, 5, now(), {a});
    put_copy(s, a, 5);
    put_marker(s, a, 5, "gui", 100);

    run_result r = run_command(purge, {"90d"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Deleted 2 messages older than 90d.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(list_dir(s.path("sent")), std::vector<std::string>{"5"}); // no deletion directory left
    for (const char *dir : {"inbox", "read", "acks", "state"}) {
        std::vector<std::string> expected;
        if (std::string(dir) == "inbox")
            expected = {"5"};
        if (std::string(dir) == "state")
            expected = {"5.gui"};
        EXPECT_EQ(list_dir(s.mailbox(a, dir)), expected) << dir;
        EXPECT_EQ(list_dir(s.mailbox(b, dir)), std::vector<std::string>{}) << dir;
    }
    EXPECT_EQ(events.lines(), "message 3 deleted by " + author + " (older than 90d)\n"
                              "message 4 deleted by " + author + " (older than 90d)\n");
}

TEST_F(purge_fixture, UnfinishedAndBusyMessagesStay)
{
    make_record(s, 1, 1000, {a});
    touch_marker(1, "incomplete");
    make_record(s, 2, 1000, {a});
    {
        unique_fd held = lock_message(2, false);
        ASSERT_TRUE(held.valid());
        EXPECT_EQ(run_command(purge, {"1d"}).out, "No messages older than 1d.\n");
    }
    EXPECT_EQ(numbers(), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(events.lines(), "");
    EXPECT_EQ(run_command(purge, {"1d"}).out, "Deleted 1 message older than 1d.\n");
    EXPECT_EQ(numbers(), std::vector<std::string>{"1"});
}

TEST_F(purge_fixture, ARecordWithoutReferenceCopyIsAgedByItsDirectory)
{
    for (long long n : {6, 7, 8}) {
        mkdir(s.path("sent").c_str(), 0700);
        mkdir(s.sent(n, "").c_str(), 0700);
        write_text(s.sent(n, "failed"), "100\n");
    }
    write_text(s.sent(8, "msg"), "damaged\n");
    set_mtime(s.sent(6, ""), now() - 3 * 86400);
    set_mtime(s.sent(8, ""), now() - 3 * 86400);
    EXPECT_EQ(run_command(purge, {"2d"}).out, "Deleted 2 messages older than 2d.\n");
    EXPECT_EQ(numbers(), std::vector<std::string>{"7"});
}
