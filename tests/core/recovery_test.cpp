// The recovery pass over every interrupted state a send, revoke or purge can
// leave behind, built on disk by hand.
#include "core/core.h"
#include "store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct recovery_fixture : ::testing::Test {
    test_store s;
    std::string other = "daemon"; // a second account; its mailbox works in test mode

    void SetUp() override
    {
        mkdir(s.path("users").c_str(), 0755);
        mkdir(s.path("sent").c_str(), 0700);
    }
    void record(long long n, const std::string &recipients, int64_t expires = 0)
    {
        mkdir(s.sent(n, "").c_str(), 0700);
        write_text(s.sent(n, "incomplete"), "");
        char head[200];
        snprintf(head, sizeof head, "format: 1\nid: %lld\nfrom: root\ndate: %lld\ntitle: \nexpires: %s\n\n", n,
                 static_cast<long long>(now()), expires ? std::to_string(expires).c_str() : "");
        write_text(s.sent(n, "msg"), std::string(head) + "text\n");
        write_text(s.sent(n, "recipients"), recipients);
    }
    run_result pass()
    {
        return run_in_child([] {
            program_name = "kelv";
            recovery_pass();
        });
    }
    int lines_of(const std::string &user, long long n)
    {
        std::string log = read_text(s.sent(n, "delivery"));
        int count = 0;
        for (size_t p = 0; (p = log.find(user + " ", p)) != std::string::npos; p++)
            if (p == 0 || log[p - 1] == '\n')
                count++;
        return count;
    }
};

} // namespace

TEST_F(recovery_fixture, NoStoreMeansNothingToDo)
{
    rmdir(s.path("users").c_str());
    rmdir(s.path("sent").c_str());
    run_result r = pass();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
}

TEST_F(recovery_fixture, AnUnsavedSendIsCancelled)
{
    mkdir(s.sent(3, "").c_str(), 0700);
    write_text(s.sent(3, "incomplete"), "");
    write_text(s.sent(3, "recipients"), s.me + "\n");
    run_result r = pass();
    EXPECT_EQ(r.err, "kelv: message 3 was interrupted before being saved and has been cancelled\n");
    EXPECT_FALSE(exists(s.sent(3, "incomplete")));
    int64_t t = 0;
    ASSERT_TRUE(parse_number(read_text(s.sent(3, "failed")).substr(0, 10).c_str(), t));
    EXPECT_NEAR(t, now(), 5);
    EXPECT_EQ(pass().err, ""); // done once
}

TEST_F(recovery_fixture, EmptyOrDamagedFilesAlsoCancel)
{
    record(4, "");
    record(5, s.me + "\n");
    write_text(s.sent(5, "msg"), "");
    record(6, s.me + "\n");
    write_text(s.sent(6, "msg"), "no date line\n\ntext");
    run_result r = pass();
    EXPECT_EQ(r.err, "kelv: message 4 was interrupted before being saved and has been cancelled\n"
                     "kelv: message 5 was interrupted before being saved and has been cancelled\n"
                     "kelv: message 6 was interrupted before being saved and has been cancelled\n");
    for (int n : {4, 5, 6})
        EXPECT_TRUE(exists(s.sent(n, "failed")));
    EXPECT_EQ(list_dir(s.path("users")), std::vector<std::string>{});
}

TEST_F(recovery_fixture, AnInterruptedDeliveryIsCompletedWithoutASecondLine)
{
    std::string first = std::min(s.me, other), second = std::max(s.me, other);
    record(7, first + "\n" + second + "\n");
    write_text(s.sent(7, "delivery"), first + " 100 2\n");
    run_result r = pass();
    EXPECT_EQ(r.err, "kelv: completed delivery of message 7 to 1 recipients\n");
    EXPECT_FALSE(exists(s.sent(7, "incomplete")));
    EXPECT_EQ(lines_of(first, 7), 1);
    EXPECT_EQ(lines_of(second, 7), 1);
    EXPECT_NE(read_text(s.sent(7, "delivery")).find(second + " "), std::string::npos);
    EXPECT_EQ(read_text(s.sent(7, "delivery")).substr(read_text(s.sent(7, "delivery")).rfind(' ')), " 0\n");
    // The recipient with a line got its copy back into place, but nothing more.
    EXPECT_TRUE(exists(s.mailbox(first, "inbox/7")));
    EXPECT_TRUE(exists(s.mailbox(second, "inbox/7")));
}

TEST_F(recovery_fixture, NothingMissingMeansNothingSaid)
{
    record(8, s.me + "\n");
    write_text(s.sent(8, "delivery"), s.me + " 100 1\n");
    run_result r = pass();
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(exists(s.sent(8, "incomplete")));
    EXPECT_EQ(lines_of(s.me, 8), 1);
}

TEST_F(recovery_fixture, ARecipientWithoutAccountKeepsTheMarker)
{
    record(9, s.me + "\nghost-kelvora\n");
    run_result r = pass();
    EXPECT_EQ(r.err, "kelv: completed delivery of message 9 to 1 recipients\n"
                     "kelv: message 9 still not delivered to 1 recipients (see kelv status 9)\n");
    EXPECT_TRUE(exists(s.sent(9, "incomplete")));
    r = pass();
    EXPECT_EQ(r.err, "kelv: message 9 still not delivered to 1 recipients (see kelv status 9)\n");
    EXPECT_EQ(lines_of(s.me, 9), 1);
}

TEST_F(recovery_fixture, AMailboxThatCanNeverBeWrittenIsGivenUpOnOnce)
{
    record(16, s.me + "\n" + other + "\n");
    mkdir(s.mailbox(other, "").c_str(), 0700);
    write_text(s.mailbox(other, "inbox"), "a file where the inbox should be");
    EXPECT_EQ(pass().err, "kelv: completed delivery of message 16 to 1 recipients\n"
                          "kelv: message 16 still not delivered to 1 recipients (see kelv status 16)\n");
    for (int i = 2; i < tries_limit; i++)
        EXPECT_EQ(pass().err, "kelv: message 16 still not delivered to 1 recipients (see kelv status 16)\n");
    EXPECT_EQ(pass().err, "kelv: message 16: delivery to " + other + " failed 5 times: given up\n");
    EXPECT_FALSE(exists(s.sent(16, "incomplete")));
    EXPECT_EQ(pass().err, "");
    std::string log = read_text(s.sent(16, "delivery"));
    EXPECT_EQ(lines_of(s.me, 16), 1);
    EXPECT_EQ(lines_of(other, 16), 1);
    EXPECT_NE(log.find(" given-up\n"), std::string::npos) << log;
    strlist delivered, counts, given_up;
    read_deliveries(16, delivered, counts);
    read_given_up(16, given_up);
    EXPECT_EQ(delivered.count, 1u);
    ASSERT_EQ(given_up.count, 1u);
    EXPECT_EQ(given_up.items[0], other);
}

TEST_F(recovery_fixture, ExpiredOrRevokedSendsAreClosedSilently)
{
    record(10, s.me + "\n", now() - 1);
    record(11, s.me + "\n");
    write_text(s.sent(11, "revoked"), "100\n");
    run_result r = pass();
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(exists(s.sent(10, "incomplete")));
    EXPECT_FALSE(exists(s.sent(11, "incomplete")));
    EXPECT_FALSE(exists(s.mailbox(s.me, "inbox/10")));
    EXPECT_FALSE(exists(s.sent(10, "delivery")));
}

TEST_F(recovery_fixture, ALockedMessageIsLeftAlone)
{
    record(12, s.me + "\n");
    unique_fd held = lock_message(12, false);
    ASSERT_TRUE(held.valid());
    run_result r = pass();
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(exists(s.sent(12, "incomplete")));
    EXPECT_FALSE(exists(s.sent(12, "delivery")));
    held.reset();
    EXPECT_EQ(pass().err, "kelv: completed delivery of message 12 to 1 recipients\n");
}

TEST_F(recovery_fixture, AnInterruptedRevocationIsResumed)
{
    mkdir(s.sent(13, "").c_str(), 0700);
    write_text(s.sent(13, "recipients"), s.me + "\n");
    write_text(s.sent(13, "revoking"), "");
    write_text(s.sent(13, "revoked"), "100\n");
    mkdir(s.mailbox(s.me, "").c_str(), 0700);
    mkdir(s.mailbox(s.me, "inbox").c_str(), 0755);
    write_text(s.mailbox(s.me, "inbox/13"), "copy");
    EXPECT_EQ(pass().err, "");
    EXPECT_FALSE(exists(s.mailbox(s.me, "inbox/13")));
    EXPECT_FALSE(exists(s.sent(13, "revoking")));
    EXPECT_TRUE(exists(s.sent(13, "revoked")));
}

TEST_F(recovery_fixture, AnInterruptedPurgeIsFinished)
{
    std::string del = s.path("sent/.deleting-7");
    mkdir(del.c_str(), 0700);
    write_text(del + "/recipients", s.me + "\n");
    write_text(del + "/msg", "x");
    mkdir(s.mailbox(s.me, "").c_str(), 0700);
    for (const char *d : {"inbox", "read", "acks", "state"})
        mkdir(s.mailbox(s.me, d).c_str(), 0755);
    write_text(s.mailbox(s.me, "read/7"), "copy");
    write_text(s.mailbox(s.me, "acks/7"), "1 desktop\n");
    write_text(s.mailbox(s.me, "inbox/8"), "another message");
    mkdir(s.path("sent/.deleting-x").c_str(), 0700); // not a deletion directory of a number
    EXPECT_EQ(pass().err, "");
    EXPECT_FALSE(exists(del));
    EXPECT_FALSE(exists(s.mailbox(s.me, "read/7")));
    EXPECT_FALSE(exists(s.mailbox(s.me, "acks/7")));
    EXPECT_TRUE(exists(s.mailbox(s.me, "inbox/8")));
    EXPECT_TRUE(exists(s.path("sent/.deleting-x")));
}

TEST_F(recovery_fixture, ARevokeThatDiedBeforeItsRecordRevokedNothing)
{
    mkdir(s.sent(14, "").c_str(), 0700);
    write_text(s.sent(14, "recipients"), s.me + "\n");
    write_text(s.sent(14, "revoking"), "");
    mkdir(s.mailbox(s.me, "").c_str(), 0700);
    mkdir(s.mailbox(s.me, "inbox").c_str(), 0755);
    write_text(s.mailbox(s.me, "inbox/14"), "copy");
    EXPECT_EQ(pass().err, "");
    EXPECT_TRUE(exists(s.mailbox(s.me, "inbox/14")));
    EXPECT_FALSE(exists(s.sent(14, "revoking")));
}
