// Recipient states, summaries and the sentences of the status table, judged
// in-process on stores built by hand.
#include "report_store.h"

#include <gtest/gtest.h>

namespace {

struct state_fixture : ::testing::Test {
    test_store s;
    // Accounts of every machine; in test mode their mailboxes are the
    // tester's to read.
    std::string a = "daemon", b = "bin", c = "sys", d = "sync";

    void SetUp() override
    {
        use_utc();
        forget_records();
    }
    void TearDown() override { forget_records(); }

    recipient_outcome judge(long long n, const std::string &user)
    {
        message m;
        EXPECT_EQ(message_read(s.sent(n, "msg").c_str(), m), 0);
        strlist users, counts;
        read_deliveries(n, users, counts);
        strlist_sort(users);
        return evaluate_recipient(user.c_str(), n, users, m, revocation_time(n));
    }
    std::vector<std::string> describe(long long n)
    {
        message m;
        EXPECT_EQ(message_read(s.sent(n, "msg").c_str(), m), 0);
        recipient_lines lines;
        describe_recipients(n, m, lines);
        std::vector<std::string> out;
        for (size_t i = 0; i < lines.count; i++)
            out.push_back(std::string(lines.items[i].name) + ": " + lines.items[i].description);
        return out;
    }
};

} // namespace

TEST_F(state_fixture, AConfirmationCountsUpToTheExpirySecond)
{
    int64_t e = now() - 100;
    make_record(s, 1, e - 1000, {a, b, c}, "text\n", "", e);
    for (const std::string &u : {a, b, c})
        add_delivery(s, 1, u);
    write_confirmation(s, a, 1, std::to_string(e) + " desktop\n");
    write_confirmation(s, b, 1, std::to_string(e + 1) + " terminal pts/3\n");

    recipient_outcome in_time = judge(1, a);
    EXPECT_EQ(in_time.state, recipient_confirmed);
    EXPECT_EQ(in_time.confirmed_at, e);
    EXPECT_STREQ(in_time.channel, "desktop");
    EXPECT_FALSE(in_time.late);

    recipient_outcome too_late = judge(1, b);
    EXPECT_EQ(too_late.state, recipient_delivered);
    EXPECT_TRUE(too_late.late);
    EXPECT_EQ(too_late.confirmed_at, 0);
    EXPECT_EQ(too_late.channel, nullptr);

    char when[32];
    format_time(e, when);
    EXPECT_EQ(describe(1), (std::vector<std::string>{
                               a + ": confirmed on " + when + " (desktop)",
                               b + ": delivered, not confirmed (expired; confirmation arrived after the expiry)",
                               c + ": delivered, not confirmed (expired)",
                           }));
}

TEST_F(state_fixture, AConfirmationCountsUpToTheRevocationSecond)
{
    int64_t r = now() - 100;
    make_record(s, 2, r - 1000, {a, b});
    add_delivery(s, 2, a);
    add_delivery(s, 2, b);
    write_text(s.sent(2, "revoked"), std::to_string(r) + "\n");
    write_confirmation(s, a, 2, std::to_string(r) + " desktop\n");
    write_confirmation(s, b, 2, std::to_string(r + 1) + " desktop\n");
    EXPECT_EQ(revocation_time(2), r);
    EXPECT_EQ(judge(2, a).state, recipient_confirmed);
    recipient_outcome after = judge(2, b);
    EXPECT_EQ(after.state, recipient_delivered);
    EXPECT_FALSE(after.late);
    EXPECT_EQ(describe(2)[1], b + ": delivered, not confirmed (revoked)");

    // Without a readable time every confirmation counts; the message still
    // shows as revoked.
    write_text(s.sent(2, "revoked"), "garbage\n");
    EXPECT_EQ(revocation_time(2), 0);
    EXPECT_EQ(judge(2, b).state, recipient_confirmed);
    message_summary sum;
    ASSERT_TRUE(load_summary(2, sum));
    EXPECT_TRUE(sum.revoked);
    EXPECT_EQ(sum.confirmed, 2);
}

TEST_F(state_fixture, WithoutADeliveryLineARecipientIsOnlySent)
{
    make_record(s, 3, now(), {a, b});
    add_delivery(s, 3, b);
    write_confirmation(s, a, 3, std::to_string(now()) + " desktop\n");
    EXPECT_EQ(judge(3, a).state, recipient_sent);
    EXPECT_EQ(describe(3)[0], a + ": sent, not delivered");
    touch_marker(3, "incomplete");
    EXPECT_EQ(describe(3)[0], a + ": sent, not delivered: the copy could not be written (see the log; the "
                                  "next kelv command will retry)");
}

TEST_F(state_fixture, ConfirmationRecordsWithoutChannelTimeOrText)
{
    int64_t t = utc(2023, 12, 7, 14, 5);
    make_record(s, 4, t - 60, {a, b, c, d});
    for (const std::string &u : {a, b, c, d})
        add_delivery(s, 4, u, 0);
    write_confirmation(s, a, 4, std::to_string(t) + "\n");
    write_confirmation(s, b, 4, std::to_string(t) + " \n");
    write_confirmation(s, c, 4, "\nsecond line\n"); // an empty record text is no confirmation
    write_confirmation(s, d, 4, "soon desktop\n");  // a time that does not parse reads as 0
    EXPECT_EQ(describe(4), (std::vector<std::string>{
                               a + ": confirmed on 07/12 14:05 (?)",
                               b + ": confirmed on 07/12 14:05 (?)",
                               c + ": delivered",
                               d + ": confirmed on 01/01 00:00 (desktop)",
                           }));
}

TEST_F(state_fixture, ADeliveredRecipientShowsTerminalsAndTheLatestPostponement)
{
    make_record(s, 5, now(), {a, b, c, d});
    add_delivery(s, 5, a, 2);
    add_delivery(s, 5, b, 1);
    add_delivery(s, 5, c, 0);
    write_text(s.sent(5, "delivery"), read_text(s.sent(5, "delivery")) + d + " 1000 x\n");
    put_marker(s, a, 5, "term", utc(2023, 12, 7, 14, 2));
    put_marker(s, a, 5, "gui", utc(2023, 12, 7, 14, 10));
    put_marker(s, c, 5, "gui", utc(2023, 12, 7, 9, 0));
    put_marker(s, c, 6, "gui", utc(2023, 12, 8, 9, 0)); // another message's marker
    EXPECT_EQ(describe(5), (std::vector<std::string>{
                               a + ": delivered, written to 2 terminals, postponed on 07/12 14:10",
                               b + ": delivered, written to 1 terminal",
                               c + ": delivered, postponed on 07/12 09:00",
                               d + ": delivered",
                           }));
}

TEST_F(state_fixture, SummaryCountsAndText)
{
    make_record(s, 6, now(), {a, b, c, d}, "text\n", "", now() - 1);
    add_delivery(s, 6, a);
    add_delivery(s, 6, b);
    add_delivery(s, 6, c);
    write_confirmation(s, a, 6, "1 desktop\n");
    write_text(s.sent(6, "revoked"), "5\n");
    message_summary sum;
    ASSERT_TRUE(load_summary(6, sum));
    EXPECT_EQ(sum.number, 6);
    EXPECT_EQ(sum.confirmed, 1);
    EXPECT_EQ(sum.delivered, 2);
    EXPECT_EQ(sum.sent, 1);
    EXPECT_TRUE(sum.revoked);
    EXPECT_TRUE(sum.expired);
    EXPECT_STREQ(sum.message.text, "text\n");
    textbuf text;
    summary_text(sum, text);
    EXPECT_STREQ(text.data, "1 confirmed · 2 delivered · 1 sent");

    struct {
        int32_t confirmed, delivered, sent;
        const char *text;
    } cases[] = {{4, 0, 0, "all confirmed (4)"},
                 {0, 2, 1, "2 delivered · 1 sent"},
                 {2, 0, 1, "2 confirmed · 1 sent"},
                 {0, 3, 0, "3 delivered"},
                 {3, 1, 0, "3 confirmed · 1 delivered"}};
    for (const auto &c : cases) {
        message_summary m;
        m.confirmed = c.confirmed;
        m.delivered = c.delivered;
        m.sent = c.sent;
        textbuf t;
        summary_text(m, t);
        EXPECT_STREQ(t.data, c.text);
    }
}

TEST_F(state_fixture, MessagesThatAreNotListedGiveNoSummary)
{
    make_record(s, 7, now(), {a});
    write_text(s.sent(7, "failed"), "100\n"); // cancelled, although saved
    make_record(s, 8, now(), {});
    make_record(s, 9, now(), {a});
    write_text(s.sent(9, "msg"), "no date\n\ntext\n");
    for (long long n : {7, 8, 9, 10}) {
        message_summary sum;
        EXPECT_FALSE(load_summary(n, sum)) << n;
        EXPECT_EQ(sum.message.text, nullptr) << n;
    }
}
