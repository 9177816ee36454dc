// The pure parts of the interface, on byte strings: the key decoder, the
// fitting and wrapping of text, and how a failed operation is reported. The
// layout itself is checked on whole screens (interactive_test.cpp).
#include "interface/interface.h"
#include "support.h"

#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// The keys in bytes, decoded one after another as read_key does, before the
// escape timeout (complete false) or after it: a character as its text, any
// other key by name, ignored input as "-", and "…" where the decoder waits
// for more bytes. Every key must take what it claims and stay inside.
std::string keys_of(const std::string &bytes, bool complete)
{
    static const char *const names[] = {"-",     "timeout", "error", "up",  "down", "right", "left",
                                        "pgup",  "pgdn",    "home",  "end", "enter", "esc",  "tab",
                                        "btab",  "bs",      "del",   "^E",  "^S"};
    std::string out;
    for (size_t at = 0; at < bytes.size();) {
        ui_key key;
        char text[5];
        size_t used = decode_key(reinterpret_cast<const unsigned char *>(bytes.data()) + at, bytes.size() - at,
                                 complete, key, text);
        EXPECT_LE(used, bytes.size() - at);
        if (used == 0)
            return out + "…";
        EXPECT_TRUE(key == key_char || *text == '\0') << names[key];
        out += (out.empty() ? "" : " ") + (key == key_char ? std::string(text) : std::string(names[key]));
        at += used;
    }
    return out;
}

} // namespace

TEST(KeyDecoder, ByteStringsOfTheCommonTerminals)
{
    const struct {
        std::string bytes;
        bool complete;
        const char *keys;
    } cases[] = {
        // Whole sequences need no timeout; "\e[N~" is named by its first digit.
        {"\x1b[A\x1bOB\x1b[C\x1bOD", false, "up down right left"},
        {"\x1b[H\x1bOF\x1b[1~\x1b[7~\x1b[4~\x1b[8~\x1b[15~", false, "home end home home end end home"},
        {"\x1b[5~\x1b[6~\x1b[5;5~\x1b[3~\x1b[Z\x1b[2~", false, "pgup pgdn pgup del btab -"},
        {"\r\n\t\x7f\b\x05\x13\x01", false, "enter enter tab bs bs ^E ^S -"},
        // Alt with a key, and Esc Esc, are swallowed whole.
        {"\x1bx\x1b\x1bq", false, "- - q"},
        // Until the timeout the bytes may still grow into a key; after it,
        // Esc alone is Esc and a cut-off sequence is nothing.
        {"\x1b", false, "…"}, {"\x1b[", false, "…"}, {"\x1bO", false, "…"}, {"\x1b[15;", false, "…"},
        {"\x1b", true, "esc"}, {"\x1b[", true, "-"}, {"\x1bO", true, "-"}, {"\x1b[15;2", true, "-"},
        // Unknown sequences end where they end; a byte that cannot belong to
        // one starts the next key.
        {"\x1b[1;5Aq", true, "- q"},
        {"\x1b[200~pasted\x1b[201~", true, "- p a s t e d -"},
        {"\x1b[12\x1b[A", true, "- up"},
        // UTF-8: the rest of a character may still come; after the timeout it
        // ends with what arrived. A byte that cannot continue it is the next
        // key; a stray continuation byte is a character of its own.
        {"é€😀q", false, "é € 😀 q"},
        {"\xe2\x82", false, "…"},
        {"\xe2\x82", true, "\xe2\x82"},
        {"\xc3q\x80", true, "\xc3 q \x80"},
        {"\xff\x80\x80\x80\x80", true, "\xff\x80\x80\x80 \x80"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(keys_of(c.bytes, c.complete), c.keys) << testing::PrintToString(c.bytes);
    // Endless parameters are cut off at a bound, and what follows is keys.
    std::string endless = keys_of("\x1b[" + std::string(100, '1'), false);
    EXPECT_TRUE(endless.starts_with("- 1 1") && endless.ends_with(" 1")) << endless;
}

TEST(ScreenText, FittingAndWrapping)
{
    // Sequences take no column, a character one whatever its bytes; a cut
    // closes the styles, and a padded cell is closed before its blanks.
    set_colour(true);
    textbuf b;
    append_fitted(b, "\x1b[1mh\xc3\xa9llo", 3);
    append_fitted(b, "ab", 3);
    EXPECT_STREQ(textbuf_str(b), "\x1b[1mh\xc3\xa9l\x1b[0mab\x1b[0m ");
    set_colour(false);

    // At the last blank that fits, else at the width; a leading blank stays.
    strlist l;
    wrap_text("abcd efgh\nabcdefghij\n abcdef\n", 4, l);
    EXPECT_EQ(std::vector<std::string>(l.items, l.items + l.count),
              (std::vector<std::string>{"abcd", "efgh", "abcd", "efgh", "ij", " abc", "def"}));
}

namespace {

int killed(int, char **)
{
    printf("halfway");
    fflush(stdout);
    raise(SIGKILL);
    return 0;
}

int silent_failure(int, char **) { _exit(3); }

int dies(int, char **)
{
    program_name = "kelv";
    die("no such message: %s", "7");
}

// What run_reported leaves for the result dialog, with the status after it.
// Input, arguments and a command's own error reach the screen in the form
// and list tests; here the failures that leave no words of their own.
std::string reported(int (*fn)(int, char **))
{
    textbuf out;
    int status = run_reported({fn, 0, nullptr}, nullptr, out);
    return std::string(out.data ? out.data : "", out.len) + "|" + std::to_string(status);
}

} // namespace

TEST(Operations, FailuresAreReportedNeverAsDone)
{
    EXPECT_EQ(reported(dies), "kelv: no such message: 7\n|1");
    EXPECT_EQ(reported(silent_failure), "The operation failed with exit status 3.\n|3");
    EXPECT_EQ(reported(killed), "halfway\nThe operation was interrupted before it finished.\n|" +
                                    std::to_string(run_killed));

    // Without a descriptor to spare, not even the pipes can be made.
    run_result r = run_in_child([] {
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_NOFILE, &none);
        fprintf(stderr, "%s", reported(dies).c_str());
    });
    EXPECT_EQ(r.err, "The operation could not be started: Too many open files.\n|-1");
}
