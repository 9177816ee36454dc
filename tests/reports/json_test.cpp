// The JSON forms of list, status and send, black-box in test mode (TZ=UTC)
// on a store full of hostile text, each document written out in full next
// to the text report of the same store and read back by python3's strict
// parser: the same data, strings as stored.
#include "report_store.h"

#include <gtest/gtest.h>

namespace {

struct json_fixture : ::testing::Test {
    test_store s;
    void SetUp() override { use_utc(); }

    // What kelv prints for args, once the parser has vouched for it: a
    // valid document, pure ASCII on one line, and nothing else.
    std::string kelv_json(const std::vector<std::string> &args)
    {
        run_result r = s.kelv(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(reparse_json(r.out), r.out);
        return r.out;
    }
};

} // namespace

TEST_F(json_fixture, ListAndStatusGiveTheDataOfTheTextAsStored)
{
    // Quotes, backslashes, control characters and sequences, bytes that are
    // not UTF-8 and bidirectional controls in a title, an author, a text, a
    // recipient's name and a channel.
    int64_t dec7 = utc(2023, 12, 7, 9, 30), t = now();
    std::string eve = "ev\"e\\\x1b[1m\xff", d = std::to_string(dec7), e = std::to_string(t + 86400);
    make_record(s, 1, dec7, {"daemon", "bin", eve, "sys"});
    write_text(s.sent(1, "msg"),
               message_file(1, dec7, "line \"one\"\t\\ \x07\x1b]0;x\x07\xc3\xa9\n\xe2\x81\xa6two\n",
                            "Say \"hi\" \\ \x1b[31mred\x1b[0m \xff\xfe \xe2\x80\xae!", t + 86400, "ro\"ot\\\x01"));
    add_delivery(s, 1, "daemon", 1);
    add_delivery(s, 1, "bin", 2);
    write_text(s.sent(1, "delivery"), read_text(s.sent(1, "delivery")) + "sys 1000 given-up\n", 0600);
    write_confirmation(s, "daemon", 1, std::to_string(utc(2023, 12, 7, 14, 5)) + " desk\"top\\\x1b[2J\xe2\x80\xae\xff\n");
    put_marker(s, "bin", 1, "term", utc(2023, 12, 7, 14, 10));
    // 2: revoked and expired; 3: cancelled; 4: no recipients, in neither form.
    make_record(s, 2, dec7, {"daemon"}, "x\n", "", t - 10);
    write_text(s.sent(2, "revoked"), std::to_string(utc(2023, 12, 7, 10, 0)) + "\n");
    add_delivery(s, 2, "daemon", 1);
    mkdir(s.sent(3, "").c_str(), 0700);
    write_text(s.sent(3, "failed"), "100\n");
    make_record(s, 4, dec7, {});

    char expiry[32];
    format_time(t + 86400, expiry);
    EXPECT_EQ(s.kelv({"status", "1"}).out,
              "Message 1 · Say \"hi\" \\ red \xff\xfe ! · 07/12 09:30 · from ro\"ot\\ · expires on " +
                  std::string(expiry) + "\n"
              "  │ line \"one\"\t\\ \xc3\xa9\n"
              "  │ two\n"
              "\n"
              "USER             STATE\n"
              "daemon           confirmed on 07/12 14:05 (desk\"top\\\xff)\n"
              "bin              delivered, written to 2 terminals, postponed on 07/12 14:10\n"
              "ev\"e\\\xff           sent, not delivered\n"
              "sys              sent, not delivered: the copy could not be written, given up after 5 tries (see the "
              "log)\n");
    EXPECT_EQ(kelv_json({"status", "--json", "1"}),
              R"({"number":1,"date":)" + d + R"(,"author":"ro\"ot\\\u0001",)"
              R"("title":"Say \"hi\" \\ \u001b[31mred\u001b[0m \ufffd\ufffd \u202e!","expires":)" + e +
              R"(,"expired":false,"revoked":false,"revoked_at":null,"incomplete":false,)"
              R"("text":"line \"one\"\t\\ \u0007\u001b]0;x\u0007\u00e9\n\u2066two\n","recipients":[)"
              R"({"user":"daemon","state":"confirmed","confirmed_at":1701957900,"channel":"desk\"top\\\ufffd",)"
              R"("late":false,"terminals":1,"postponed_at":null,"given_up":false},)"
              R"({"user":"bin","state":"delivered","confirmed_at":null,"channel":null,)"
              R"("late":false,"terminals":2,"postponed_at":1701958200,"given_up":false},)"
              R"({"user":"ev\"e\\\u001b[1m\ufffd","state":"sent","confirmed_at":null,"channel":null,)"
              R"("late":false,"terminals":null,"postponed_at":null,"given_up":false},)"
              R"({"user":"sys","state":"sent","confirmed_at":null,"channel":null,)"
              R"("late":false,"terminals":null,"postponed_at":null,"given_up":true}]})"
              "\n");
    EXPECT_NE(kelv_json({"status", "2", "--json"}).find(R"("expired":true,"revoked":true,"revoked_at":1701943200,)"),
              std::string::npos);

    std::vector<std::string> listed = split_lines(s.kelv({"list"}).out);
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_TRUE(listed[1].ends_with("  1 confirmed · 1 delivered · 2 sent")) << listed[1];
    EXPECT_TRUE(listed[2].ends_with("[revoked] [expired] x" + std::string(19, ' ') + "  1 delivered")) << listed[2];
    EXPECT_EQ(kelv_json({"list", "--json"}),
              R"({"messages":[{"number":1,"date":)" + d + R"(,"author":"ro\"ot\\\u0001",)"
              R"("title":"Say \"hi\" \\ \u001b[31mred\u001b[0m \ufffd\ufffd \u202e!","expires":)" + e +
              R"(,"cancelled":false,"first_line":"line \"one\"\t\\ \u0007\u001b]0;x\u0007\u00e9","revoked":false,)"
              R"("expired":false,"confirmed":1,"delivered":1,"sent":2},)"
              R"({"number":2,"date":)" + d + R"(,"author":"root","title":"","expires":)" + std::to_string(t - 10) +
              R"(,"cancelled":false,"first_line":"x","revoked":true,"expired":true,"confirmed":0,"delivered":1,"sent":0},)"
              R"({"number":3,"date":null,"author":null,"title":null,"expires":null,"cancelled":true,)"
              R"("first_line":null,"revoked":null,"expired":null,"confirmed":null,"delivered":null,"sent":null}]})"
              "\n");
}

TEST_F(json_fixture, JsonGoesAnywhereAfterTheCommandAndRefusalsStayAsTheyWere)
{
    EXPECT_EQ(kelv_json({"list", "--json"}), "{\"messages\":[]}\n");
    make_record(s, 1, utc(2023, 12, 7, 9, 30), {"daemon"});
    EXPECT_EQ(kelv_json({"status", "1", "--json", "--json"}), kelv_json({"status", "--json", "1"}));
    s.expect_refused({"status", "--json", "1", "2"}, "too many arguments for status: 2 (kelv --help for the guide)");
    s.expect_refused({"list", "--json", "x"}, "too many arguments for list: x (kelv --help for the guide)");
    s.expect_refused({"log", "1", "--JSON"}, "too many arguments for log: --JSON (kelv --help for the guide)");
    s.expect_refused({"revoke", "1", "--json"}, "too many arguments for revoke: --json (kelv --help for the guide)");
    s.expect_refused({"status", "--json"}, "missing message ID");
    s.expect_refused({"log", "--json", "9"}, "no such message: 9");
    s.expect_refused({"send", "--json", "--to", s.me}, "empty message");
}

TEST_F(json_fixture, SendReportsEveryRecipientAndAPartialDeliveryItsErrorToo)
{
    // --json among the words asks for the report; after "--" it is text.
    EXPECT_EQ(kelv_json({"send", "--to", s.me, "Hello", "--json", "world"}),
              R"({"message":1,"expires":null,"revoked":false,"recipients":[{"user":")" + s.me +
                  R"(","delivered":true,"terminals":1,"reason":null}]})" + "\n");
    ASSERT_EQ(s.kelv({"send", "--to", s.me, "--", "--json"}).out, "Message 2 sent to 1 user.\n");
    message m1, m2;
    ASSERT_EQ(message_read(s.sent(1, "msg").c_str(), m1) + message_read(s.sent(2, "msg").c_str(), m2), 0);
    EXPECT_STREQ(m1.text, "Hello world\n");
    EXPECT_STREQ(m2.text, "--json\n");

    mkdir(s.path("elsewhere").c_str(), 0755);
    ASSERT_EQ(symlink(s.path("elsewhere").c_str(), s.mailbox("daemon", "").c_str()), 0);
    run_result r = s.kelv({"send", "--json", "--to", "daemon," + s.me, "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kelv: message 3 not delivered to: daemon (see the log; the next kelv command will retry)\n");
    std::string failed = R"({"user":"daemon","delivered":false,"terminals":null,"reason":"the copy could not be written"})";
    std::string delivered = R"({"user":")" + s.me + R"(","delivered":true,"terminals":1,"reason":null})";
    // Recipients in the order of the send: names sorted.
    EXPECT_EQ(reparse_json(r.out), R"({"message":3,"expires":null,"revoked":false,"recipients":[)" +
                                       (s.me < "daemon" ? delivered + "," + failed : failed + "," + delivered) +
                                       "]}\n");
}
