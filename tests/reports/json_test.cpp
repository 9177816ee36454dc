// The JSON forms of list, status and send, black-box in test mode (TZ=UTC),
// read back by an independent parser on a store full of hostile text: each
// value is what the text output shows, carried as stored.
#include "report_store.h"

#include <gtest/gtest.h>

namespace {

// A title, an author, a text, a recipient and a channel with quotes,
// backslashes, control characters and sequences, bytes that are not UTF-8
// and bidirectional controls.
const std::string title = "Say \"hi\" \\ \x1b[31mred\x1b[0m \xff\xfe \xe2\x80\xae!";
const std::string author = "ro\"ot\\\x01";
const std::string text = "line \"one\"\t\\ \x07\x1b]0;x\x07\xc3\xa9\n\xe2\x81\xa6two\n";
const std::string eve = "ev\"e\\\x1b[1m\xff";
const std::string channel = "desk\"top\\\x1b[2J\xe2\x80\xae\xff";

// Where a stored string has a byte that is not UTF-8, the JSON has U+FFFD.
const std::string fffd = "\xef\xbf\xbd";

struct json_fixture : ::testing::Test {
    test_store s;
    int64_t dec7 = utc(2023, 12, 7, 9, 30);
    int64_t confirmed = utc(2023, 12, 7, 14, 5);
    int64_t postponed = utc(2023, 12, 7, 14, 10);
    int64_t revoked = utc(2023, 12, 7, 10, 0);

    void SetUp() override { use_utc(); }

    // The JSON output of kelv args, checked for the form every one must
    // have: status 0, one line of printable ASCII, nothing on standard error.
    json_leaves kelv_json(const std::vector<std::string> &args)
    {
        run_result r = s.kelv(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
        for (char c : r.out)
            EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << "raw byte " << int(c) << " in " << r.out;
        json_leaves j = parse_json(r.out);
        EXPECT_TRUE(j.valid) << j.error << r.out;
        return j;
    }
};

} // namespace

TEST_F(json_fixture, ListAndStatusGiveTheDataOfTheTextAsStored)
{
    int64_t t = now();
    // 1: one recipient in each state; 2: revoked and expired; 3: cancelled;
    // 4: no recipients, so in neither form.
    make_record(s, 1, dec7, {"daemon", "bin", eve, "sys"});
    write_text(s.sent(1, "msg"), message_file(1, dec7, text, title, t + 86400, author), 0600);
    add_delivery(s, 1, "daemon", 1);
    add_delivery(s, 1, "bin", 2);
    write_text(s.sent(1, "delivery"), read_text(s.sent(1, "delivery")) + "sys 1000 given-up\n", 0600);
    write_confirmation(s, "daemon", 1, std::to_string(confirmed) + " " + channel + "\n");
    put_marker(s, "bin", 1, "term", postponed);
    make_record(s, 2, dec7, {"daemon"}, "x\n", "", t - 10);
    write_text(s.sent(2, "revoked"), std::to_string(revoked) + "\n");
    add_delivery(s, 2, "daemon", 1);
    mkdir(s.sent(3, "").c_str(), 0700);
    write_text(s.sent(3, "failed"), "100\n");
    make_record(s, 4, dec7, {});

    std::string clean_eve = "ev\"e\\\xff";
    EXPECT_EQ(s.kelv({"status", "1"}).out, "Message 1 · Say \"hi\" \\ red \xff\xfe ! · 07/12 09:30 · from ro\"ot\\\n"
                                           "  │ line \"one\"\t\\ \xc3\xa9\n"
                                           "  │ two\n"
                                           "\n"
                                           "USER             STATE\n"
                                           "daemon           confirmed on 07/12 14:05 (desk\"top\\\xff)\n"
                                           "bin              delivered, written to 2 terminals, postponed on 07/12 14:10\n" +
                                               clean_eve + std::string(16 - clean_eve.size(), ' ') +
                                               " sent, not delivered\n"
                                               "sys              sent, not delivered: the copy could not be written, "
                                               "given up after 5 tries (see the log)\n");
    json_leaves st = kelv_json({"status", "--json", "1"});
    EXPECT_EQ(st.value(""), "{11}");
    EXPECT_EQ(st.value(".number"), "1");
    EXPECT_EQ(st.value(".date"), std::to_string(dec7));
    EXPECT_EQ(st.str(".author"), "ro\"ot\\\x01");
    EXPECT_EQ(st.str(".title"), "Say \"hi\" \\ \x1b[31mred\x1b[0m " + fffd + fffd + " \xe2\x80\xae!");
    EXPECT_EQ(st.value(".expires"), std::to_string(t + 86400));
    EXPECT_EQ(st.value(".expired"), "false");
    EXPECT_EQ(st.value(".revoked"), "false");
    EXPECT_EQ(st.value(".revoked_at"), "null");
    EXPECT_EQ(st.value(".incomplete"), "false");
    EXPECT_EQ(st.str(".text"), text);
    EXPECT_EQ(st.value(".recipients"), "[4]");
    struct row {
        std::string user, state, confirmed_at, channel, terminals, postponed_at, given_up;
    };
    const row rows[] = {
        {"daemon", "confirmed", std::to_string(confirmed), "desk\"top\\" + fffd, "1", "null", "false"},
        {"bin", "delivered", "null", "", "2", std::to_string(postponed), "false"},
        {"ev\"e\\\x1b[1m" + fffd, "sent", "null", "", "null", "null", "false"},
        {"sys", "sent", "null", "", "null", "null", "true"},
    };
    for (size_t i = 0; i < 4; i++) {
        std::string at = ".recipients[" + std::to_string(i) + "]";
        EXPECT_EQ(st.value(at), "{8}");
        EXPECT_EQ(st.str(at + ".user"), rows[i].user);
        EXPECT_EQ(st.str(at + ".state"), rows[i].state);
        EXPECT_EQ(st.value(at + ".confirmed_at"), rows[i].confirmed_at);
        if (rows[i].channel.empty())
            EXPECT_EQ(st.value(at + ".channel"), "null");
        else
            EXPECT_EQ(st.str(at + ".channel"), rows[i].channel);
        EXPECT_EQ(st.value(at + ".late"), "false");
        EXPECT_EQ(st.value(at + ".terminals"), rows[i].terminals);
        EXPECT_EQ(st.value(at + ".postponed_at"), rows[i].postponed_at);
        EXPECT_EQ(st.value(at + ".given_up"), rows[i].given_up);
    }

    json_leaves revoked_status = kelv_json({"status", "2", "--json"});
    EXPECT_EQ(revoked_status.value(".revoked"), "true");
    EXPECT_EQ(revoked_status.value(".revoked_at"), std::to_string(revoked));
    EXPECT_EQ(revoked_status.value(".expired"), "true");
    EXPECT_EQ(revoked_status.str(".title"), "");

    std::vector<std::string> listed = split_lines(s.kelv({"list"}).out);
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_NE(listed[1].find("line \"one\"\t\\ \xc3\xa9"), std::string::npos) << listed[1];
    EXPECT_NE(listed[1].find("  1 confirmed · 1 delivered · 2 sent"), std::string::npos) << listed[1];
    EXPECT_NE(listed[2].find("[revoked] [expired] x"), std::string::npos) << listed[2];
    EXPECT_NE(listed[3].find("[send cancelled"), std::string::npos) << listed[3];
    json_leaves l = kelv_json({"list", "--json"});
    EXPECT_EQ(l.value(".messages"), "[3]");
    const char *const keys[] = {"number", "date", "author", "title", "expires", "cancelled", "first_line",
                                "revoked", "expired", "confirmed", "delivered", "sent"};
    std::vector<std::string> first, second, third;
    for (const char *key : keys) {
        std::string k = std::string(".") + key;
        for (auto [i, out] : {std::pair{0, &first}, {1, &second}, {2, &third}}) {
            std::string at = ".messages[" + std::to_string(i) + "]" + k;
            out->push_back(l.strings.count(at) ? "\"" + l.str(at) : l.value(at));
        }
    }
    EXPECT_EQ(first, (std::vector<std::string>{"1", std::to_string(dec7), "\"" + st.str(".author"),
                                               "\"" + st.str(".title"), std::to_string(t + 86400), "false",
                                               "\"line \"one\"\t\\ \x07\x1b]0;x\x07\xc3\xa9", "false", "false",
                                               "1", "1", "2"}));
    EXPECT_EQ(second, (std::vector<std::string>{"2", std::to_string(dec7), "\"root", "\"", std::to_string(t - 10),
                                                "false", "\"x", "true", "true", "0", "1", "0"}));
    EXPECT_EQ(third, (std::vector<std::string>{"3", "null", "null", "null", "null", "true", "null", "null", "null",
                                               "null", "null", "null"}));
}

TEST_F(json_fixture, JsonGoesAnywhereAfterTheCommandAndRefusalsStayOnStandardError)
{
    EXPECT_EQ(kelv_json({"list", "--json"}).value(".messages"), "[0]");
    make_record(s, 1, dec7, {"daemon"});
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"status", "--json", "1"}, {"status", "1", "--json", "--json"}})
        EXPECT_EQ(kelv_json(args).value(".number"), "1");
    // Another extra argument is refused as before, named as typed.
    s.expect_refused({"status", "--json", "1", "2"}, "too many arguments for status: 2 (kelv --help for the guide)");
    s.expect_refused({"list", "--json", "x"}, "too many arguments for list: x (kelv --help for the guide)");
    s.expect_refused({"log", "1", "--JSON"}, "too many arguments for log: --JSON (kelv --help for the guide)");
    s.expect_refused({"revoke", "1", "--json"}, "too many arguments for revoke: --json (kelv --help for the guide)");
    s.expect_refused({"status", "--json"}, "missing message ID");
    s.expect_refused({"log", "--json", "9"}, "no such message: 9");
    s.expect_refused({"send", "--json", "--to", s.me}, "empty message");
}

TEST_F(json_fixture, SendReportsEveryRecipientAndKeepsItsRefusal)
{
    // --json among the words asks for the report; after "--" it is text.
    json_leaves j = kelv_json({"send", "--to", s.me, "Hello", "--json", "world"});
    EXPECT_EQ(j.value(""), "{3}");
    EXPECT_EQ(j.value(".message"), "1");
    EXPECT_EQ(j.value(".revoked"), "false");
    EXPECT_EQ(j.value(".recipients"), "[1]");
    EXPECT_EQ(j.str(".recipients[0].user"), s.me);
    EXPECT_EQ(j.value(".recipients[0].delivered"), "true");
    EXPECT_EQ(j.value(".recipients[0].terminals"), "1");
    EXPECT_EQ(j.value(".recipients[0].reason"), "null");
    message m;
    ASSERT_EQ(message_read(s.sent(1, "msg").c_str(), m), 0);
    EXPECT_STREQ(m.text, "Hello world\n");
    ASSERT_EQ(s.kelv({"send", "--to", s.me, "--", "--json"}).out, "Message 2 sent to 1 user.\n");
    ASSERT_EQ(message_read(s.sent(2, "msg").c_str(), m), 0);
    EXPECT_STREQ(m.text, "--json\n");

    // A partial delivery: the document on standard output, the error on
    // standard error, status 1, as without --json.
    mkdir(s.path("elsewhere").c_str(), 0755);
    ASSERT_EQ(symlink(s.path("elsewhere").c_str(), s.mailbox("daemon", "").c_str()), 0);
    run_result r = s.kelv({"send", "--json", "--to", s.me + ",daemon", "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kelv: message 3 not delivered to: daemon (see the log; the next kelv command will retry)\n");
    j = parse_json(r.out);
    ASSERT_TRUE(j.valid) << j.error << r.out;
    EXPECT_EQ(j.value(".message"), "3");
    // In the order of the send: names sorted.
    std::string failed = s.me < "daemon" ? ".recipients[1]" : ".recipients[0]";
    std::string delivered = s.me < "daemon" ? ".recipients[0]" : ".recipients[1]";
    EXPECT_EQ(j.str(failed + ".user"), "daemon");
    EXPECT_EQ(j.value(failed + ".delivered"), "false");
    EXPECT_EQ(j.value(failed + ".terminals"), "null");
    EXPECT_EQ(j.str(failed + ".reason"), "the copy could not be written");
    EXPECT_EQ(j.str(delivered + ".user"), s.me);
    EXPECT_EQ(j.value(delivered + ".delivered"), "true");
}
