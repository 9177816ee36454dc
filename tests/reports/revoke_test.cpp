// kelv revoke and kelv remind, run in a child on stores built by hand, with
// the events they log captured.
#include "report_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

struct revoke_fixture : ::testing::Test {
    test_store s;
    event_capture events;
    std::string a = "daemon", b = "bin", c = "sys", d = "sync";
    std::string author = author_name();

    void SetUp() override { use_utc(); }
    std::string copy(const std::string &user, long long n) { return s.mailbox(user, "inbox/" + std::to_string(n)); }
    std::string marker(const std::string &user, long long n, const char *suffix)
    {
        return s.mailbox(user, "state/" + std::to_string(n) + "." + suffix);
    }
    void expect_refused(int (*cmd)(int, char **), const std::vector<std::string> &args, const std::string &message)
    {
        std::vector<std::string> before = s.tree();
        run_result r = run_command(cmd, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "kelv: " + message + "\n");
        EXPECT_EQ(s.tree(), before);
        EXPECT_EQ(events.lines(), "");
    }
};

} // namespace

TEST_F(revoke_fixture, RevokeRecordsTheTimeAndTakesTheCopiesAway)
{
    make_record(s, 7, now(), {a, b, "ghost-kelvora"});
    add_delivery(s, 7, a);
    add_delivery(s, 7, b);
    put_copy(s, a, 7);
    put_copy(s, a, 8);
    put_marker(s, a, 7, "term", 100);
    put_copy(s, b, 7);
    write_confirmation(s, b, 7, "100 desktop\n");
    rename(copy(b, 7).c_str(), s.mailbox(b, "read/7").c_str());

    int64_t before = now();
    run_result r = run_command(revoke, {"7"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Message 7 revoked.\n");
    EXPECT_EQ(r.err, "");
    int64_t t = 0;
    std::string record = read_text(s.sent(7, "revoked"));
    ASSERT_TRUE(parse_number(record.substr(0, record.size() - 1).c_str(), t));
    EXPECT_EQ(record.back(), '\n');
    EXPECT_GE(t, before);
    EXPECT_LE(t, now());
    struct stat st;
    ASSERT_EQ(stat(s.sent(7, "revoked").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(exists(s.sent(7, "revoking")));
    EXPECT_FALSE(exists(copy(a, 7)));
    EXPECT_FALSE(exists(marker(a, 7, "term")));
    EXPECT_TRUE(exists(copy(a, 8)));                        // another message
    EXPECT_TRUE(exists(s.mailbox(b, "acks/7")));            // a confirmation stays on record
    EXPECT_TRUE(exists(s.mailbox(b, "read/7")));
    EXPECT_EQ(events.lines(), "message 7 revoked by " + author + "\n");
}

TEST_F(revoke_fixture, ASecondRevokeKeepsTheFirstTimeAndLogsNothing)
{
    make_record(s, 7, now(), {a});
    add_delivery(s, 7, a);
    write_text(s.sent(7, "revoked"), "1000\n");
    put_copy(s, a, 7); // left over, or put back by hand
    run_result r = run_command(revoke, {"7"});
    EXPECT_EQ(r.out, "Message 7 revoked.\n");
    EXPECT_EQ(read_text(s.sent(7, "revoked")), "1000\n");
    EXPECT_FALSE(exists(copy(a, 7)));
    EXPECT_FALSE(exists(s.sent(7, "revoking")));
    EXPECT_EQ(events.lines(), "");
}

TEST_F(revoke_fixture, ACopyThatCannotBeRemovedLeavesTheMarkerForRecovery)
{
    make_record(s, 7, now(), {a});
    add_delivery(s, 7, a);
    make_mailbox(s, a);
    mkdir(copy(a, 7).c_str(), 0755); // unlink cannot take it
    write_text(copy(a, 7) + "/x", "");
    run_result r = run_command(revoke, {"7"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kelv: message 7 revoked, but some copies could not be removed from the mailboxes: the "
                     "next kelv command will retry\n");
    EXPECT_TRUE(exists(s.sent(7, "revoked")));
    EXPECT_TRUE(exists(s.sent(7, "revoking")));
    EXPECT_EQ(events.lines(), "message 7 revoked by " + author + "\n");
}

TEST_F(revoke_fixture, ARevocationThatCannotBeRecordedTouchesNoCopy)
{
    make_record(s, 7, now(), {a});
    add_delivery(s, 7, a);
    put_copy(s, a, 7);
    mkdir(s.sent(7, "revoked.tmp").c_str(), 0700); // the record's temporary name is taken
    write_text(s.sent(7, "revoked.tmp/x"), "");
    run_result r = run_command(revoke, {"7"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kelv: " + s.sent(7, "revoked") + ": File exists\n");
    EXPECT_FALSE(exists(s.sent(7, "revoked")));
    // Without the record nothing is revoked: no marker may send the recovery
    // pass after the copies.
    EXPECT_FALSE(exists(s.sent(7, "revoking")));
    EXPECT_TRUE(exists(copy(a, 7)));
    EXPECT_EQ(events.lines(), "");
}

TEST_F(revoke_fixture, RevokeRefusals)
{
    make_record(s, 7, now(), {a});
    expect_refused(revoke, {}, "missing message ID");
    expect_refused(revoke, {"8"}, "no such message: 8");
    expect_refused(revoke, {"seven"}, "no such message: seven");
    mkdir(s.sent(9, "").c_str(), 0700);
    expect_refused(revoke, {"9"}, "no such message: 9");
}

TEST_F(revoke_fixture, RemindClearsPostponementsOfDeliveredRecipientsOnly)
{
    make_record(s, 7, now(), {a, b, c, d, "ghost-kelvora"});
    add_delivery(s, 7, a);
    add_delivery(s, 7, b);
    add_delivery(s, 7, "ghost-kelvora");
    add_delivery(s, 7, d);
    put_marker(s, a, 7, "term", 100);
    put_marker(s, a, 7, "gui", 100);
    put_marker(s, a, 8, "gui", 100);
    put_marker(s, c, 7, "term", 100); // not delivered: no copy to be asked about
    write_confirmation(s, d, 7, std::to_string(now()) + " desktop\n");
    put_marker(s, d, 7, "gui", 100);
    // b has no mailbox; the ghost has no account.

    run_result r = run_command(remind, {"7"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Message 7: 1 recipient reminded.\n");
    EXPECT_FALSE(exists(marker(a, 7, "term")));
    EXPECT_FALSE(exists(marker(a, 7, "gui")));
    EXPECT_TRUE(exists(marker(a, 8, "gui")));
    EXPECT_TRUE(exists(marker(c, 7, "term")));
    EXPECT_TRUE(exists(marker(d, 7, "gui")));
    EXPECT_EQ(events.lines(), "message 7: 1 recipient reminded by " + author + "\n");

    make_mailbox(s, b);
    r = run_command(remind, {"7"});
    EXPECT_EQ(r.out, "Message 7: 2 recipients reminded.\n");
}

TEST_F(revoke_fixture, RemindWhenNobodyIsLeft)
{
    make_record(s, 7, now(), {a, b, c, d});
    for (const std::string &u : {a, b, c, d}) {
        add_delivery(s, 7, u);
        write_confirmation(s, u, 7, std::to_string(now()) + " desktop\n");
    }
    EXPECT_EQ(run_command(remind, {"7"}).out, "Message 7: everyone has already confirmed, nobody to remind.\n");
    EXPECT_EQ(events.lines(), "message 7: 0 recipients reminded by " + author + "\n");

    make_record(s, 8, now(), {a, b}); // no copy delivered yet
    make_mailbox(s, a);
    EXPECT_EQ(run_command(remind, {"8"}).out, "Message 8: 0 recipients reminded.\n");
    make_record(s, 9, now(), {});
    EXPECT_EQ(run_command(remind, {"9"}).out, "Message 9: 0 recipients reminded.\n");
}

TEST_F(revoke_fixture, RemindRefusals)
{
    int64_t t = now();
    make_record(s, 1, t, {a}, "text\n", "", t); // expires this very second
    make_record(s, 2, t, {a}, "text\n", "", t - 10);
    write_text(s.sent(2, "revoked"), "100\n");
    add_delivery(s, 1, a);
    put_marker(s, a, 1, "term", 100);
    expect_refused(remind, {"1"}, "message 1 has expired: nobody to remind");
    expect_refused(remind, {"2"}, "message 2 has been revoked: nobody to remind");
    expect_refused(remind, {"3"}, "no such message: 3");
    expect_refused(remind, {""}, "missing message ID");
}
