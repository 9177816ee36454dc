// Mailbox operations in test mode, where the child keeps the tester's
// identity; the same operations as root against planted links are covered by
// the real-system suite.
#include "core/core.h"
#include "store.h"

#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

struct mailbox_fixture : ::testing::Test {
    test_store s;
    user_info me;
    textbuf copy;
    void SetUp() override
    {
        ASSERT_TRUE(user_lookup(s.me.c_str(), me));
        mkdir(s.path("users").c_str(), 0755);
        mkdir(s.path("sent").c_str(), 0700);
        textbuf_append_str(copy, "format: 1\nid: 5\nfrom: root\ndate: 100\ntitle: \nexpires: \n\nhello\n");
    }
    std::string box(const std::string &rel) const { return s.mailbox(s.me, rel); }
    void set_mtime(const std::string &path, time_t t)
    {
        struct timeval tv[2] = {{t, 0}, {t, 0}};
        utimes(path.c_str(), tv);
    }
};

} // namespace

TEST_F(mailbox_fixture, FirstDeliveryCreatesTheMailboxAndItsFourDirectories)
{
    ASSERT_TRUE(deliver_copy(me, 5, copy));
    EXPECT_EQ(list_dir(box("")), (std::vector<std::string>{"acks", "inbox", "read", "state"}));
    EXPECT_EQ(read_text(box("inbox/5")), copy.data);
    EXPECT_EQ(list_dir(box("inbox")), std::vector<std::string>{"5"}); // no .tmp left
}

TEST_F(mailbox_fixture, RepeatedDeliveryKeepsOneCopyAndNeverUndoesAConfirmation)
{
    ASSERT_TRUE(deliver_copy(me, 5, copy));
    ASSERT_TRUE(deliver_copy(me, 5, copy));
    EXPECT_EQ(list_dir(box("inbox")), std::vector<std::string>{"5"});

    rename(box("inbox/5").c_str(), box("read/5").c_str());
    write_text(box("acks/5"), "100 desktop\n");
    EXPECT_TRUE(deliver_copy(me, 5, copy));
    EXPECT_EQ(list_dir(box("inbox")), std::vector<std::string>{});

    unlink(box("acks/5").c_str());
    EXPECT_TRUE(deliver_copy(me, 5, copy)); // archived after expiry: stays archived
    EXPECT_EQ(list_dir(box("inbox")), std::vector<std::string>{});
}

TEST_F(mailbox_fixture, AMailboxThatIsNotADirectoryIsNeverUsed)
{
    write_text(box(""), "a file where the mailbox should be");
    EXPECT_FALSE(deliver_copy(me, 5, copy));
    EXPECT_TRUE(remove_copy(me, 5));
    EXPECT_FALSE(clear_postponements(me, 5));
    purge_copies(me, 5);
    EXPECT_EQ(read_text(box("")), "a file where the mailbox should be");
    textbuf empty;
    EXPECT_FALSE(deliver_copy(me, 6, empty));
}

TEST_F(mailbox_fixture, EmptyInputIsNotACopy)
{
    textbuf empty;
    EXPECT_FALSE(deliver_copy(me, 5, empty));
    EXPECT_FALSE(exists(box("inbox/5")));
}

TEST_F(mailbox_fixture, RemovalTakesTheCopyAndMarkersButKeepsTheRecord)
{
    ASSERT_TRUE(deliver_copy(me, 5, copy));
    write_text(box("state/5.term"), "");
    write_text(box("state/5.gui"), "");
    write_text(box("acks/5"), "100 desktop\n");
    EXPECT_TRUE(remove_copy(me, 5));
    EXPECT_EQ(list_dir(box("inbox")), std::vector<std::string>{});
    EXPECT_EQ(list_dir(box("state")), std::vector<std::string>{});
    EXPECT_TRUE(exists(box("acks/5")));
    EXPECT_TRUE(remove_copy(me, 5)); // nothing left: still a success
    user_info nobody_home;
    nobody_home.name = xstrdup("daemon");
    nobody_home.uid = me.uid;
    EXPECT_TRUE(remove_copy(nobody_home, 5)); // no mailbox at all
    EXPECT_FALSE(clear_postponements(nobody_home, 5));
}

TEST_F(mailbox_fixture, ClearingPostponementsAndPurging)
{
    ASSERT_TRUE(deliver_copy(me, 5, copy));
    write_text(box("state/5.term"), "");
    write_text(box("state/6.gui"), "");
    EXPECT_TRUE(clear_postponements(me, 5));
    EXPECT_EQ(list_dir(box("state")), std::vector<std::string>{"6.gui"});
    write_text(box("read/5"), "x");
    write_text(box("acks/5"), "1 desktop\n");
    write_text(box("state/5.gui"), "");
    purge_copies(me, 5);
    for (const char *dir : {"inbox", "read", "acks"})
        EXPECT_EQ(list_dir(box(dir)), std::vector<std::string>{}) << dir;
    EXPECT_EQ(list_dir(box("state")), std::vector<std::string>{"6.gui"});
}

TEST_F(mailbox_fixture, RecordsTakeTheFirstLineOfAConfirmationAndTheLatestPostponement)
{
    ASSERT_TRUE(deliver_copy(me, 5, copy));
    write_text(box("acks/5"), "1765116300 terminal pts/3\nsecond line\n");
    write_text(box("state/7.term"), "");
    write_text(box("state/7.gui"), "");
    set_mtime(box("state/7.term"), 1000);
    set_mtime(box("state/7.gui"), 2000);
    write_text(box("acks/8"), "1 \x1b[31mred\x1b[0m channel\n");
    mkdir(box("acks/9").c_str(), 0755); // not a regular file: no record
    strlist numbers;
    for (const char *n : {"5", "7", "8", "9", "10"})
        strlist_push_copy(numbers, n);
    record_table t;
    collect_records(me, numbers, t);
    const mailbox_record *r5 = find_record(t, 5), *r7 = find_record(t, 7), *r8 = find_record(t, 8);
    ASSERT_NE(r5, nullptr);
    EXPECT_STREQ(r5->confirmation, "1765116300 terminal pts/3");
    EXPECT_EQ(r5->postponed, 0);
    ASSERT_NE(r7, nullptr);
    EXPECT_EQ(r7->confirmation, nullptr);
    EXPECT_EQ(r7->postponed, 2000);
    ASSERT_NE(r8, nullptr);
    EXPECT_STREQ(r8->confirmation, "1 red channel");
    EXPECT_EQ(find_record(t, 9), nullptr);
    EXPECT_EQ(find_record(t, 10), nullptr);
}

TEST(ParseRecords, MalformedLinesChangeNothing)
{
    record_table t;
    const char out[] = "A 12\nX 13 whatever\nAx 14 y\nS 15 notanumber\nA 1234567890123456789 t\n"
                       "S 16 50\nS 16 40\nA 17 first\nA 17 second\nA 18 \n";
    parse_records(out, sizeof out - 1, t);
    EXPECT_EQ(find_record(t, 12), nullptr);
    ASSERT_NE(find_record(t, 13), nullptr); // a record, but nothing in it
    EXPECT_EQ(find_record(t, 13)->confirmation, nullptr);
    EXPECT_EQ(find_record(t, 14), nullptr);
    EXPECT_EQ(find_record(t, 15)->postponed, 0);
    EXPECT_EQ(find_record(t, 16)->postponed, 50);
    EXPECT_STREQ(find_record(t, 17)->confirmation, "first");
    EXPECT_STREQ(find_record(t, 18)->confirmation, "");
}

TEST_F(mailbox_fixture, RecordsForUserAreReadOnceForEverySentMessage)
{
    for (const char *n : {"1", "2"})
        mkdir(s.sent(atoi(n), "").c_str(), 0700);
    ASSERT_TRUE(deliver_copy(me, 2, copy));
    write_text(box("acks/2"), "50 desktop\n");
    const record_table &t = records_for_user(s.me.c_str());
    ASSERT_NE(find_record(t, 2), nullptr);
    unlink(box("acks/2").c_str());
    EXPECT_EQ(&records_for_user(s.me.c_str()), &t); // cached
    EXPECT_NE(find_record(records_for_user(s.me.c_str()), 2), nullptr);
    forget_records();
    EXPECT_EQ(find_record(records_for_user(s.me.c_str()), 2), nullptr);
    EXPECT_EQ(records_for_user("no-such-account-kelvora").count, 0u);
    forget_records();
}

TEST_F(mailbox_fixture, FinishRevocationRemovesCopiesThenTheMarker)
{
    mkdir(s.sent(5, "").c_str(), 0700);
    write_text(s.sent(5, "recipients"), s.me + "\nghost-kelvora\n");
    write_text(s.sent(5, "revoking"), "");
    ASSERT_TRUE(deliver_copy(me, 5, copy));
    strlist given_up;
    EXPECT_TRUE(finish_revocation(5, given_up));
    EXPECT_FALSE(exists(box("inbox/5")));
    EXPECT_FALSE(exists(s.sent(5, "revoking")));

    write_text(s.sent(5, "recipients"), "ghost-kelvora\n");
    write_text(s.sent(5, "revoking"), "");
    EXPECT_TRUE(finish_revocation(5, given_up)); // deleted accounts have nothing to clean
    EXPECT_FALSE(exists(s.sent(5, "revoking")));
    EXPECT_EQ(given_up.count, 0u);
}

TEST_F(mailbox_fixture, FinishDeletionEmptiesMailboxesThenRemovesTheDirectory)
{
    std::string del = s.path("sent/.deleting-5");
    mkdir(del.c_str(), 0700);
    write_text(del + "/recipients", s.me + "\n");
    write_text(del + "/msg", copy.data);
    write_text(del + "/lock", "");
    ASSERT_TRUE(deliver_copy(me, 5, copy));
    // A record that cannot be removed (even by root: a directory with
    // something in it) keeps the deletion open until it goes, or until its
    // user is given up on.
    mkdir(box("acks/5").c_str(), 0755);
    write_text(box("acks/5/x"), "");
    strlist given_up;
    EXPECT_FALSE(finish_deletion(del.c_str(), 5, given_up));
    EXPECT_TRUE(exists(del + "/msg"));
    EXPECT_FALSE(exists(box("inbox/5")));
    unlink(box("acks/5/x").c_str());
    rmdir(box("acks/5").c_str());
    EXPECT_TRUE(finish_deletion(del.c_str(), 5, given_up));
    EXPECT_FALSE(exists(del));
    EXPECT_FALSE(exists(box("acks/5")));
    EXPECT_EQ(given_up.count, 0u);

    mkdir(del.c_str(), 0700);
    write_text(del + "/recipients", s.me + "\n");
    mkdir(box("acks/5").c_str(), 0755);
    write_text(box("acks/5/x"), "");
    for (int i = 1; i < tries_limit; i++)
        EXPECT_FALSE(finish_deletion(del.c_str(), 5, given_up)) << i;
    EXPECT_TRUE(finish_deletion(del.c_str(), 5, given_up));
    EXPECT_FALSE(exists(del));
    ASSERT_EQ(given_up.count, 1u);
    EXPECT_EQ(given_up.items[0], s.me);
}

namespace {

// What the records cache holds for the tester and message n.
struct kept_view {
    const test_store &s;
    std::string confirmation(int64_t n) const
    {
        const mailbox_record *r = find_record(records_for_user(s.me.c_str()), n);
        return r && r->confirmation ? r->confirmation : "";
    }
    int64_t postponed(int64_t n) const
    {
        const mailbox_record *r = find_record(records_for_user(s.me.c_str()), n);
        return r ? r->postponed : 0;
    }
};

} // namespace

TEST_F(mailbox_fixture, KeptRecordsAreReadAgainWhenTheMailboxChangesAndOnlyThen)
{
    for (int n : {1, 2})
        mkdir(s.sent(n, "").c_str(), 0700);
    ASSERT_TRUE(deliver_copy(me, 1, copy));
    write_text(box("acks/1"), "50 desktop\n");
    write_text(box("acks/3"), "70 desktop\n"); // a record of a message not sent yet
    write_text(box("state/2.term"), "");
    set_mtime(box("state/2.term"), 1000);
    kept_view kept{s};
    open_counter reads(box("acks"));

    refresh_records(); // from now on the cache is kept
    EXPECT_EQ(kept.confirmation(1), "50 desktop");
    EXPECT_EQ(kept.postponed(2), 1000);
    EXPECT_EQ(kept.confirmation(3), "");
    EXPECT_EQ(reads.take(), 1);
    refresh_records();
    EXPECT_EQ(reads.take(), 0); // nothing changed: nothing read

    // A confirmation, a marker touched again (the directory stays as it
    // was), a record rewritten in place: each is seen at the next refresh.
    write_text(box("acks/2"), "60 terminal pts/1\n");
    refresh_records();
    EXPECT_EQ(kept.confirmation(2), "60 terminal pts/1");
    set_mtime(box("state/2.term"), 2000);
    refresh_records();
    EXPECT_EQ(kept.postponed(2), 2000);
    int fd = open(box("acks/1").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(pwrite(fd, "55", 2, 0), 2);
    close(fd);
    refresh_records();
    EXPECT_EQ(kept.confirmation(1), "55 desktop");
    EXPECT_EQ(reads.take(), 3);

    // A new message: its record, already there, counts now, once the message
    // names its recipients (a send just begun has none yet).
    mkdir(s.sent(3, "").c_str(), 0700);
    refresh_records();
    EXPECT_EQ(kept.confirmation(3), "");
    write_text(s.sent(3, "recipients"), std::string(me.name) + "\n");
    refresh_records();
    EXPECT_EQ(kept.confirmation(3), "70 desktop");

    // The whole directory replaced.
    rename(box("acks").c_str(), box("old").c_str());
    mkdir(box("acks").c_str(), 0755);
    refresh_records();
    EXPECT_EQ(kept.confirmation(1), "");
    forget_records();
}

namespace {

// Lets the background reads go on until pred holds or timeout_ms has passed;
// pred's last answer.
bool advance_until(const std::function<bool()> &pred, int timeout_ms)
{
    int64_t deadline = monotonic_ms() + timeout_ms;
    while (!pred() && monotonic_ms() < deadline) {
        std::vector<struct pollfd> fds;
        int wait = records_fds(fds);
        poll(fds.data(), fds.size(), wait < 0 || wait > 50 ? 50 : wait);
        records_advance();
    }
    return pred();
}

// The children of this process (the background reads).
std::vector<pid_t> my_children()
{
    std::vector<pid_t> pids;
    for (const std::string &p : list_dir("/proc")) {
        if (p.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string stat = exists("/proc/" + p + "/stat") ? read_text("/proc/" + p + "/stat") : "";
        size_t close = stat.rfind(')');
        if (close != std::string::npos && atoi(stat.c_str() + close + 4) == getpid())
            pids.push_back(atoi(p.c_str()));
    }
    return pids;
}

} // namespace

TEST_F(mailbox_fixture, InTheBackgroundAReadThatOverrunsLeavesTheLastTableLateAndRests)
{
    for (int n : {1, 2})
        mkdir(s.sent(n, "").c_str(), 0700);
    ASSERT_TRUE(deliver_copy(me, 1, copy));
    write_text(box("acks/1"), "50 desktop\n");
    kept_view kept{s};
    strlist names;
    strlist_push_copy(names, s.me.c_str());

    records_background(true);
    refresh_records();
    load_records(names); // asked, not waited for
    EXPECT_TRUE(records_state(s.me.c_str()) == records_freshness::pending);
    EXPECT_EQ(kept.confirmation(1), "");
    ASSERT_TRUE(advance_until([&] { return records_state(s.me.c_str()) == records_freshness::current; }, 5000));
    EXPECT_EQ(kept.confirmation(1), "50 desktop");

    // The next read is stopped, as a user can stop a child of theirs: it is
    // given up at its time limit, the last table stays, marked late.
    write_text(box("acks/2"), "60 desktop\n");
    refresh_records();
    std::vector<pid_t> reading = my_children();
    ASSERT_EQ(reading.size(), 1u);
    kill(reading[0], SIGSTOP);
    ASSERT_TRUE(advance_until([&] { return records_state(s.me.c_str()) == records_freshness::late; }, 10000));
    EXPECT_EQ(kept.confirmation(1), "50 desktop");
    EXPECT_EQ(kept.confirmation(2), "");
    strlist late;
    size_t pending;
    records_not_current(late, pending);
    EXPECT_EQ(late.count, 1u);
    EXPECT_EQ(pending, 0u);

    // It rests, however often it changes; then it is read again.
    write_text(box("acks/3"), "70 desktop\n");
    refresh_records();
    EXPECT_TRUE(my_children().empty() || my_children() == reading);
    ASSERT_TRUE(advance_until(
        [&] {
            refresh_records();
            return records_state(s.me.c_str()) == records_freshness::current;
        },
        10000));
    EXPECT_EQ(kept.confirmation(2), "60 desktop");
    records_background(false);
}
