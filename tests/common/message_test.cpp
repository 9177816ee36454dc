#include "common/common.h"
#include "support.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <random>
#include <string>

namespace {

std::string formatted(int64_t id, const char *from, int64_t date, const char *title, int64_t expires,
                      const char *text)
{
    message m;
    m.id = id;
    m.from = xstrdup(from);
    m.date = date;
    m.title = xstrdup(title);
    m.expires = expires;
    m.text = xstrdup(text);
    textbuf b;
    message_format(m, b);
    return std::string(b.data, b.len);
}

std::string cleaned(const std::string &in)
{
    textbuf b;
    clean_text(in.data(), in.size(), b);
    return std::string(textbuf_str(b), b.len);
}

int parse(const std::string &s, message &m)
{
    return message_parse(s.data(), s.size(), m);
}

} // namespace

TEST(MessageFormat, ExactBytesWithoutExpiry)
{
    EXPECT_EQ(formatted(42, "root", 1765119840, "Maintenance", 0, "Reboot at six."),
              "format: 1\nid: 42\nfrom: root\ndate: 1765119840\ntitle: Maintenance\nexpires: \n\n"
              "Reboot at six.");
    EXPECT_EQ(formatted(1, "tobin", 5, "", 99, "x\n"),
              "format: 1\nid: 1\nfrom: tobin\ndate: 5\ntitle: \nexpires: 99\n\nx\n");
}

TEST(MessageFormat, RoundTripKeepsEveryFieldForAnyText)
{
    for (const char *text : {"", "one line", "ends with newline\n", "para one\n\npara two\n\n",
                             "\n\nleading empty lines", "colons: everywhere: here\nexpires: 5\n",
                             "naïve café ✓\n"}) {
        std::string file = formatted(123456789012345678LL, "root", 1700000000, "A: title", 1800000000, text);
        message m;
        ASSERT_EQ(parse(file, m), 0) << text;
        EXPECT_EQ(m.id, 123456789012345678LL);
        EXPECT_STREQ(m.from, "root");
        EXPECT_EQ(m.date, 1700000000);
        EXPECT_STREQ(m.title, "A: title");
        EXPECT_EQ(m.expires, 1800000000);
        EXPECT_STREQ(m.text, text);
    }
}

TEST(MessageParse, HeaderWithoutEmptyLineGivesEmptyText)
{
    message m;
    ASSERT_EQ(parse("format: 1\nid: 3\nfrom: root\ndate: 10\ntitle: T\nexpires: \n", m), 0);
    EXPECT_STREQ(m.text, "");
    EXPECT_EQ(m.id, 3);
    ASSERT_EQ(parse("date: 10", m), 0); // no newline at all
    EXPECT_STREQ(m.from, "");
    EXPECT_STREQ(m.title, "");
    EXPECT_STREQ(m.text, "");
}

TEST(MessageParse, TheLastDateLineDecides)
{
    message m;
    errno = 0;
    EXPECT_EQ(parse("id: 1\nfrom: root\ndate: 12x\ntitle: t\n\ntext", m), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(m.from, nullptr);
    EXPECT_EQ(m.id, 0);
    EXPECT_EQ(parse("date: 12x\ndate: 12\n\ntext", m), 0);
    EXPECT_EQ(m.date, 12);
    EXPECT_EQ(parse("date: 12\ndate: 12x\n\ntext", m), -1);
    EXPECT_EQ(parse("id: 1\nfrom: root\n\ndate: 5\n", m), -1); // a date in the text does not count
    EXPECT_EQ(parse("", m), -1);
    EXPECT_EQ(parse("DATE: 5\n", m), -1);
    EXPECT_EQ(parse("date: 5\r\n", m), -1);
    EXPECT_EQ(parse("date:  5\n", m), -1);
}

TEST(MessageParse, ValuesAreTakenVerbatim)
{
    message m;
    ASSERT_EQ(parse("date: 1\ntitle:\nfrom: a\nfrom: b\n\n", m), 0);
    EXPECT_STREQ(m.title, "");
    EXPECT_STREQ(m.from, "b");
    ASSERT_EQ(parse("date: 1\ntitle: a: b\n", m), 0);
    EXPECT_STREQ(m.title, "a: b");
    ASSERT_EQ(parse("date: 1\ntitle: x \n", m), 0);
    EXPECT_STREQ(m.title, "x ");
    ASSERT_EQ(parse("id: 4\nid: nope\ngarbage line\ndate: 1\n", m), 0);
    EXPECT_EQ(m.id, 4);
}

TEST(MessageParse, EmptyOrWordExpiryMeansNever)
{
    message m;
    ASSERT_EQ(parse("date: 1\nexpires: \n", m), 0);
    EXPECT_EQ(m.expires, 0);
    ASSERT_EQ(parse("date: 1\nexpires: 50\nexpires: never\n", m), 0);
    EXPECT_EQ(m.expires, 0);
}

TEST(MessageRead, UsesTheSizeLimitAndNeverFollowsLinks)
{
    temp_dir d;
    std::string body(MESSAGE_FILE_LIMIT - 40, 'x');
    std::string file = "date: 1\n\n" + body;
    write_text(d / "ok", file);
    write_text(d / "big", file + std::string(100, 'y'));
    symlink((d / "ok").c_str(), (d / "link").c_str());
    message m;
    ASSERT_EQ(message_read((d / "ok").c_str(), m), 0);
    EXPECT_EQ(std::string(m.text), body);
    EXPECT_EQ(message_read((d / "big").c_str(), m), -1);
    EXPECT_EQ(errno, EFBIG);
    EXPECT_EQ(m.text, nullptr);
    EXPECT_EQ(message_read((d / "link").c_str(), m), -1);
    EXPECT_EQ(errno, ELOOP);
}

TEST(MessageExpired, TheExpirySecondItselfHasExpired)
{
    message m;
    m.expires = 100;
    EXPECT_FALSE(message_expired(m, 99));
    EXPECT_TRUE(message_expired(m, 100));
    m.expires = 0;
    EXPECT_FALSE(message_expired(m, INT64_MAX));
}

TEST(MessageHeading, TitleAndDateOrDateAlone)
{
    scoped_env tz("TZ", "UTC");
    tzset();
    message m;
    m.date = 1765119840;
    m.title = xstrdup("Maintenance");
    textbuf b;
    message_heading(m, b);
    EXPECT_STREQ(b.data, "Maintenance · 07/12 15:04");
    free(m.title);
    m.title = xstrdup("");
    textbuf c;
    message_heading(m, c);
    EXPECT_STREQ(c.data, "07/12 15:04");
}

TEST(CleanText, RemovesTerminalControlSequences)
{
    EXPECT_EQ(cleaned("\x1b[31mred\x1b[0m"), "red");
    EXPECT_EQ(cleaned("a\x1b[2J\x1b[1;1Hb\x1b[?25lc"), "abc");
    EXPECT_EQ(cleaned("\x1b]0;pwned title\x07" "after"), "after");
    EXPECT_EQ(cleaned("\x1b]\x07x"), "x");
    EXPECT_EQ(cleaned("over\rwrite\bx\x1b"), "overwritex");
    EXPECT_EQ(cleaned("bell\x07 del\x7f nul"), std::string("bell del nul"));
    EXPECT_EQ(cleaned(std::string("a\0b", 3)), "ab");
}

TEST(CleanText, IncompleteSequencesLoseOnlyTheirEscape)
{
    EXPECT_EQ(cleaned("\x1b[31"), "[31");       // line ends inside the parameters
    EXPECT_EQ(cleaned("\x1b[\nm"), "[\nm");     // the final byte must be on the same line
    EXPECT_EQ(cleaned("\x1b[3 m"), "[3 m");     // a blank is not a final byte
    EXPECT_EQ(cleaned("\x1b]0;title"), "]0;title"); // no BEL: nothing removed but the ESC
    EXPECT_EQ(cleaned("\x1b]0;t\x1b\\x"), "]0;t\\x"); // ST does not end an OSC here
    EXPECT_EQ(cleaned("\x1b]0;a\nb\x07"), "]0;a\nb"); // the BEL must be on the same line
}

TEST(CleanText, KeepsTabsNewlinesAndUtf8)
{
    EXPECT_EQ(cleaned("a\tb\nc\n"), "a\tb\nc\n");
    EXPECT_EQ(cleaned("Grüße, naïve ✓ 日本"), "Grüße, naïve ✓ 日本");
    EXPECT_EQ(cleaned("no\xc2\xa0" "break"), "no\xc2\xa0" "break");
    EXPECT_EQ(cleaned("c1\xc2\x9b" "31m"), "c131m");
    EXPECT_EQ(cleaned("\xc2\x80\xc2\x9f"), "");
    EXPECT_EQ(cleaned(""), "");
}

TEST(CleanText, C1BytesOutsideUtf8AndBidirectionalControlsGo)
{
    // On an 8-bit terminal a lone 0x9B starts a control sequence.
    EXPECT_EQ(cleaned("1765 \x9b" "2J" "desk\x85" "top"), "1765 2Jdesktop");
    EXPECT_EQ(cleaned("\xe2\x80\x9b" "ok \xc3\x9f"), "\xe2\x80\x9b" "ok \xc3\x9f"); // U+201B, U+00DF
    EXPECT_EQ(cleaned("caf\xe9 \xff"), "caf\xe9 \xff");     // Latin-1 bytes are no controls
    EXPECT_EQ(cleaned("\xe2\x9b"), "\xe2");              // a sequence cut short
    // U+202E turns "txt.exe" into what reads as "exe.txt".
    EXPECT_EQ(cleaned("a\xe2\x80\xae" "b\xe2\x80\xaa" "c\xe2\x81\xa6" "d\xe2\x81\xa9" "e"), "abcde");
    EXPECT_EQ(cleaned("\xe2\x80\xaf" "z\xe2\x81\xa5"), "\xe2\x80\xaf" "z\xe2\x81\xa5"); // neighbours stay
}

TEST(CleanText, RemovalNeverJoinsBytesIntoANewControl)
{
    // Dropping the inner pair or control byte brings a 0xC2 next to a
    // continuation byte: the result must not hold a C1 control either.
    EXPECT_EQ(cleaned("\xc2\xc2\x80\x80"), "\xc2"); // a stray lead byte, but no control
    EXPECT_EQ(cleaned("\xc2\x01\x9b"), "");
    EXPECT_EQ(cleaned("\xc2\x1b[0m\x9b"), "");
}

TEST(CleanText, AppendsToWhatTheBufferHolds)
{
    textbuf b;
    textbuf_append_str(b, "\xc2");
    clean_text("\xa9", 1, b); // the kept byte before the call is not touched
    EXPECT_EQ(std::string(b.data, b.len), "\xc2\xa9");
    textbuf e;
    clean_text("", 0, e);
    ASSERT_NE(e.data, nullptr);
    EXPECT_STREQ(e.data, "");
    textbuf only_controls;
    clean_text("\x1b[0m\x01", 5, only_controls);
    EXPECT_STREQ(only_controls.data, "");
}

TEST(CleanText, NoControlSurvivesRandomInput)
{
    std::mt19937 rng(20261208);
    // Weighted towards the bytes that matter: ESC, [, ], BEL, 0xC2, C1 range.
    const unsigned char interesting[] = {0x1b, '[', ']', 0x07, 0xc2, 0x80, 0x9b, 0x9f, '\n', ';', '0', 'm'};
    for (int round = 0; round < 20000; round++) {
        std::string in(rng() % 64, '\0');
        for (char &c : in)
            c = static_cast<char>(rng() % 3 ? interesting[rng() % sizeof interesting] : rng() % 256);
        std::string out = cleaned(in);
        for (size_t i = 0; i < out.size(); i++) {
            unsigned char c = static_cast<unsigned char>(out[i]);
            ASSERT_FALSE(c <= 0x08 || (c >= 0x0b && c <= 0x1f) || c == 0x7f)
                << "control byte survives in round " << round;
            if (i + 1 < out.size()) {
                unsigned char d = static_cast<unsigned char>(out[i + 1]);
                ASSERT_FALSE(c == 0xc2 && d >= 0x80 && d <= 0x9f) << "C1 survives in round " << round;
            }
        }
        ASSERT_EQ(cleaned(out), out) << "cleaning is not idempotent in round " << round;
    }
}
