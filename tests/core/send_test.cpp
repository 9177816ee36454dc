// kelv send, black-box in test mode: what it prints, what it stores, what it
// writes to the (stand-in) terminal, and what it refuses.
#include "common/common.h"
#include "store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void expect_refused(const test_store &s, const run_result &r, const std::string &message)
{
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kelv: " + message + "\n");
    EXPECT_EQ(s.tree(), std::vector<std::string>{}) << "a refused send wrote to the store";
}

// The text of the reference copy of message n.
std::string stored_text(const test_store &s, long long n)
{
    message m;
    if (message_read(s.sent(n, "msg").c_str(), m) < 0)
        return "<unreadable>";
    return m.text;
}

} // namespace

TEST(Send, WordsBecomeOneLineAndReachMailboxAndTerminal)
{
    test_store s;
    run_result r = s.kelv({"send", "--to", s.me, "--title", "Maintenance", "Hello", "world"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Message 1 sent to 1 user.\n");
    EXPECT_EQ(r.err, "");

    std::string msg = read_text(s.sent(1, "msg"));
    message m;
    ASSERT_EQ(message_read(s.sent(1, "msg").c_str(), m), 0);
    EXPECT_STREQ(m.text, "Hello world\n");
    EXPECT_STREQ(m.title, "Maintenance");
    EXPECT_EQ(m.id, 1);
    EXPECT_EQ(m.expires, 0);
    EXPECT_EQ(read_text(s.mailbox(s.me, "inbox/1")), msg);
    EXPECT_EQ(read_text(s.sent(1, "recipients")), s.me + "\n");
    EXPECT_FALSE(exists(s.sent(1, "incomplete")));

    char when[32];
    setenv("TZ", "UTC", 1);
    tzset();
    format_time(m.date, when);
    EXPECT_EQ(read_text(s.tty), std::string("\r\n── Kelvora · Message from the administrator · Maintenance · ") + when +
                                    " ──\r\nHello world\r\n" + "────────────────────────────────────────\r\n");
    long long t = 0;
    int count = -1;
    char user[64];
    ASSERT_EQ(sscanf(read_text(s.sent(1, "delivery")).c_str(), "%63s %lld %d", user, &t, &count), 3);
    EXPECT_EQ(user, s.me);
    EXPECT_EQ(count, 1);
    EXPECT_GE(t, m.date);

    struct stat st;
    ASSERT_EQ(stat(s.mailbox(s.me, "").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(s.mailbox(s.me, "inbox").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    ASSERT_EQ(stat(s.mailbox(s.me, "inbox/1").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(stat(s.sent(1, "msg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(s.path("sent").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(Send, StandardInputLosesItsTrailingNewlinesAndNumbersGrow)
{
    test_store s;
    ASSERT_EQ(s.kelv({"send", "--to", s.me}, "first").status, 0);
    run_result r = s.kelv({"send", "--to", s.me + ",daemon"}, "word\n\n\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Message 2 sent to 2 users.\n");
    EXPECT_EQ(stored_text(s, 2), "word\n");
    std::string expected = s.me < "daemon" ? s.me + "\ndaemon\n" : "daemon\n" + s.me + "\n";
    EXPECT_EQ(read_text(s.sent(2, "recipients")), expected);
}

TEST(Send, TheFileIsReadWhenThereAreNoWords)
{
    test_store s;
    write_text(s.path("notice.txt"), "from a file\n");
    ASSERT_EQ(s.kelv({"send", "--to", s.me, "--file", s.path("notice.txt")}).status, 0);
    EXPECT_EQ(stored_text(s, 1), "from a file\n");
    ASSERT_EQ(s.kelv({"send", "--file", s.path("notice.txt"), "--to", s.me, "words", "win"}).status, 0);
    EXPECT_EQ(stored_text(s, 2), "words win\n");
}

TEST(Send, DoubleDashEndsTheOptions)
{
    test_store s;
    ASSERT_EQ(s.kelv({"send", "--to", s.me, "--", "-5", "degrees"}).status, 0);
    EXPECT_EQ(stored_text(s, 1), "-5 degrees\n");
    EXPECT_NE(read_text(s.sent(1, "msg")).find("\ntitle: \nexpires: \n\n"), std::string::npos);
    ASSERT_EQ(s.kelv({"send", "--to", s.me, "-", "dash"}).status, 0);
    EXPECT_EQ(stored_text(s, 2), "- dash\n");
    ASSERT_EQ(s.kelv({"send", "--to", "nobody-kelvora", "--to", s.me, "--"}, "later --to counts").status, 0);
    EXPECT_EQ(stored_text(s, 3), "later --to counts\n");
}

TEST(Send, TextAndTitleAreCleanedBeforeTheyAreStored)
{
    test_store s;
    ASSERT_EQ(s.kelv({"send", "--to", s.me, "--title", "a\tb\x1b[31m red", "--"},
                     "\x1b]0;owned\x07text \x1b[2Jhere\r\n")
                  .status,
              0);
    message m;
    ASSERT_EQ(message_read(s.sent(1, "msg").c_str(), m), 0);
    EXPECT_STREQ(m.title, "a b red");
    EXPECT_STREQ(m.text, "text here\n");
    EXPECT_EQ(read_text(s.tty).find('\x1b'), std::string::npos);
}

// Each unit of a relative expiry, and a date: the expiry is stored and said
// after the usual line, so that the administrator sees what "1w" came to.
TEST(Send, RelativeAndAbsoluteExpiry)
{
    test_store s;
    long long n = 0;
    for (auto [value, seconds] : {std::pair{"90m", 90 * 60}, {"2h", 2 * 3600}, {"3d", 3 * 86400}, {"1w", 7 * 86400}}) {
        int64_t before = now();
        run_result r = s.kelv({"send", "--to", s.me, "--expires", value, "x"});
        ASSERT_EQ(r.status, 0) << value << ": " << r.err;
        message m;
        ASSERT_EQ(message_read(s.sent(++n, "msg").c_str(), m), 0);
        EXPECT_GE(m.expires, before + seconds) << value;
        EXPECT_LE(m.expires, now() + seconds) << value;
        char when[32];
        format_time(m.expires, when);
        EXPECT_EQ(r.out, "Message " + std::to_string(n) + " sent to 1 user. Expires on " + when + ".\n");
    }
    ASSERT_EQ(s.kelv({"send", "--to", s.me, "--expires", "2099-01-01 00:00 UTC", "x"}).status, 0);
    message m;
    ASSERT_EQ(message_read(s.sent(++n, "msg").c_str(), m), 0);
    EXPECT_EQ(m.expires, 4070908800);
}

TEST(Send, OptionRefusals)
{
    test_store s;
    expect_refused(s, s.kelv({"send"}), "missing --to");
    expect_refused(s, s.kelv({"send", "Hello"}), "missing --to");
    expect_refused(s, s.kelv({"send", "--", "Hello"}), "missing --to");
    expect_refused(s, s.kelv({"send", "--title", "T"}), "missing --to");
    expect_refused(s, s.kelv({"send", "--to", s.me, "--title"}), "missing value for --title");
    expect_refused(s, s.kelv({"send", "--to", ""}), "missing value for --to");
    expect_refused(s, s.kelv({"send", "--to", s.me, "-x", "text"}), "unknown option: -x");
    expect_refused(s, s.kelv({"send", "--to", s.me, "--verbose"}), "unknown option: --verbose");
}

TEST(Send, ExpiryRefusals)
{
    test_store s;
    expect_refused(s, s.kelv({"send", "--to", s.me, "--expires", "0m", "x"}), "the expiry is already in the past");
    expect_refused(s, s.kelv({"send", "--to", s.me, "--expires", "2001-01-01", "x"}),
                   "the expiry is already in the past");
    // Digits and a letter that is no unit: never the date program's to read
    // (it takes "5z" for 5 o'clock in the Zulu time zone).
    for (const char *bad : {"5j", "5z", "1W", "2y", "3s"})
        expect_refused(s, s.kelv({"send", "--to", s.me, "--expires", bad, "x"}), std::string("invalid expiry: ") + bad);
    // Nothing the date program understands.
    expect_refused(s, s.kelv({"send", "--to", s.me, "--expires", "never", "x"}), "invalid expiry: never");
    expect_refused(s, s.kelv({"send", "--to", s.me, "--expires", "999999999999999999d", "x"}),
                   "invalid expiry: 999999999999999999d");
    // The date program is looked up along PATH like any other.
    expect_refused(s, s.kelv({"send", "--to", s.me, "--expires", "tomorrow", "x"}, "", {"PATH=/nonexistent"}),
                   "invalid expiry: tomorrow");
}

TEST(Send, TextRefusals)
{
    test_store s;
    expect_refused(s, s.kelv({"send", "--to", s.me}, " \t\n \n"), "empty message");
    expect_refused(s, s.kelv({"send", "--to", s.me}, "\x1b[31m\x1b[0m"), "empty message");
    expect_refused(s, s.kelv({"send", "--to", s.me}, std::string(65537, 'x')),
                   "message too long: 65537 bytes (at most 65536)");
    expect_refused(s, s.kelv({"send", "--to", s.me, "--file", s.path("missing")}),
                   s.path("missing") + ": No such file or directory");
    temp_dir notes;
    expect_refused(s, s.kelv({"send", "--to", s.me, "--file", notes.path}), notes.path + ": Is a directory");
    // The header counted with the widest message number and a ten-digit date.
    size_t size = std::string("format: 1\nid: 999999999999999999\nfrom: \ndate: 1234567890\ntitle: \nexpires: \n\n")
                      .size() + s.me.size() + 10000 + 65537;
    expect_refused(s, s.kelv({"send", "--to", s.me, "--title", std::string(10000, 't')}, std::string(65536, 'x')),
                   "title too long: the message would take " + std::to_string(size) + " bytes (at most 73728)");
}

TEST(Send, ExactlyTheLimitIsAccepted)
{
    test_store s;
    // Cleaning removes the escape sequences: the limit applies to what is left.
    run_result r = s.kelv({"send", "--to", s.me}, std::string(65536, 'x') + "\x1b[0m\n\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(stored_text(s, 1).size(), 65537u);
}

TEST(Send, RecipientRefusals)
{
    test_store s;
    expect_refused(s, s.kelv({"send", "--to", ",", "x"}), "no recipients");
    expect_refused(s, s.kelv({"send", "--to", "ghost-kelvora", "x"}), "no such user: ghost-kelvora");
    expect_refused(s, s.kelv({"send", "--to", s.me + ",@ghosts-kelvora", "x"}), "no such group: ghosts-kelvora");
}

TEST(Send, AnUnusableMailboxIsReportedAndLeftForRecovery)
{
    test_store s;
    mkdir(s.path("users").c_str(), 0755);
    mkdir(s.path("elsewhere").c_str(), 0755);
    ASSERT_EQ(symlink(s.path("elsewhere").c_str(), s.mailbox("daemon", "").c_str()), 0);
    run_result r = s.kelv({"send", "--to", s.me + ",daemon", "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Message 1 delivered to 1 of 2 recipients.\n");
    EXPECT_EQ(r.err, "kelv: message 1 not delivered to: daemon (see the log; the next kelv command will retry)\n");
    EXPECT_TRUE(exists(s.sent(1, "incomplete")));
    EXPECT_TRUE(exists(s.mailbox(s.me, "inbox/1")));
    EXPECT_EQ(list_dir(s.path("elsewhere")), std::vector<std::string>{});

    // Once the mailbox is usable, the next command's recovery pass delivers.
    unlink(s.mailbox("daemon", "").c_str());
    r = s.kelv({"send", "--to", s.me, "next"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "kelv: completed delivery of message 1 to 1 recipients\n");
    EXPECT_EQ(r.out, "Message 2 sent to 1 user.\n");
    EXPECT_TRUE(exists(s.mailbox("daemon", "inbox/1")));
    EXPECT_FALSE(exists(s.sent(1, "incomplete")));
}
