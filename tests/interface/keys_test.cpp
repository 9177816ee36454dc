// The pure parts of the interface, on byte strings: the key decoder, the
// fitting and wrapping of text, and how a failed operation is reported. The
// layout itself is checked on whole screens (interactive_test.cpp).
#include "interface/interface.h"
#include "support.h"

#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace {

struct decoded {
    ui_key key;
    std::string text;
    size_t used;
};

decoded decode(const std::string &bytes, bool complete = true)
{
    decoded d;
    char text[5];
    d.used = decode_key(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), complete, d.key, text);
    d.text = text;
    return d;
}

// Decodes a whole byte string as read_key would, key after key.
std::vector<ui_key> decode_all(const std::string &bytes)
{
    std::vector<ui_key> keys;
    for (size_t at = 0; at < bytes.size();) {
        decoded d = decode(bytes.substr(at));
        EXPECT_GT(d.used, 0u);
        if (d.used == 0)
            break;
        keys.push_back(d.key);
        at += d.used;
    }
    return keys;
}

} // namespace

TEST(KeyDecoder, SequencesOfTheCommonTerminals)
{
    const struct {
        const char *bytes;
        ui_key key;
    } cases[] = {
        {"\x1b[A", key_up},         {"\x1bOB", key_down},       {"\x1b[C", key_right},
        {"\x1bOD", key_left},       {"\x1b[H", key_home},       {"\x1bOF", key_end},
        {"\x1b[1~", key_home},      {"\x1b[7~", key_home},      {"\x1b[4~", key_end},
        {"\x1b[8~", key_end},       {"\x1b[5~", key_page_up},   {"\x1b[6~", key_page_down},
        {"\x1b[3~", key_delete},    {"\x1b[Z", key_shift_tab},  {"\x1b[2~", key_none},
        {"\x1b[15~", key_home},     {"\x1b[5;5~", key_page_up}, {"\r", key_enter},
        {"\n", key_enter},          {"\t", key_tab},            {"\x7f", key_backspace},
        {"\b", key_backspace},      {"\x05", key_ctrl_e},       {"\x13", key_ctrl_s},
        {"\x01", key_none},         {"\x1bx", key_none},        {"\x1b\x1b", key_none},
    };
    for (const auto &c : cases) {
        std::string bytes = c.bytes;
        SCOPED_TRACE(testing::PrintToString(bytes));
        decoded d = decode(bytes, false);
        EXPECT_EQ(d.key, c.key);
        EXPECT_EQ(d.used, bytes.size());
        EXPECT_EQ(d.text, "");
    }
}

TEST(KeyDecoder, EscapeWaitsForTheRestOfASequence)
{
    // Until the escape timeout the bytes may still grow into a key.
    for (const char *prefix : {"\x1b", "\x1b[", "\x1bO", "\x1b[1", "\x1b[15;"})
        EXPECT_EQ(decode(prefix, false).used, 0u) << prefix + 1;
    // After it, Esc alone is the Esc key; a cut-off sequence is nothing.
    EXPECT_EQ(decode("\x1b").key, key_escape);
    for (const char *cut : {"\x1b[", "\x1bO", "\x1b[5", "\x1b[15;2"}) {
        decoded d = decode(cut);
        EXPECT_EQ(d.key, key_none) << cut + 1;
        EXPECT_EQ(d.used, strlen(cut));
    }
}

TEST(KeyDecoder, UnknownSequencesEndWhereTheyEnd)
{
    // A sequence with a letter at its end is not a key, and the bytes after
    // it are keys of their own.
    EXPECT_EQ(decode_all("\x1b[1;5Aq"), (std::vector<ui_key>{key_none, key_char}));
    EXPECT_EQ(decode_all("\x1b[200~pasted\x1b[201~"),
              (std::vector<ui_key>{key_none, key_char, key_char, key_char, key_char, key_char, key_char, key_none}));
    // A byte that cannot belong to a sequence starts the next key.
    EXPECT_EQ(decode_all("\x1b[12\x1b[A"), (std::vector<ui_key>{key_none, key_up}));
    // Endless parameters are cut off at a bound.
    std::string endless = "\x1b[" + std::string(100, '1');
    decoded d = decode(endless, false);
    EXPECT_EQ(d.key, key_none);
    EXPECT_GT(d.used, 0u);
    EXPECT_LT(d.used, endless.size());
}

TEST(KeyDecoder, CharactersInUtf8)
{
    decoded d = decode("é€😀", false);
    EXPECT_EQ(d.key, key_char);
    EXPECT_EQ(d.text, "é");
    EXPECT_EQ(decode("€x").text, "€");
    EXPECT_EQ(decode("😀").text, "😀");
    EXPECT_EQ(decode("q").text, "q");
    // The rest of a character may still come; after the timeout it ends with
    // the bytes that arrived.
    EXPECT_EQ(decode("\xe2\x82", false).used, 0u);
    d = decode("\xe2\x82");
    EXPECT_EQ(d.key, key_char);
    EXPECT_EQ(d.text, "\xe2\x82");
    // A byte that cannot continue it is the next key; a stray continuation
    // byte is a character of its own.
    d = decode("\xc3q");
    EXPECT_EQ(d.text, "\xc3");
    EXPECT_EQ(d.used, 1u);
    EXPECT_EQ(decode("\x80").text, "\x80");
    EXPECT_EQ(decode("\xff\x80\x80\x80\x80").text, "\xff\x80\x80\x80");
}

TEST(ScreenText, FittingAndWrapping)
{
    set_colour(true);
    textbuf b;
    append_fitted(b, "h\xc3\xa9llo", 3);
    EXPECT_STREQ(textbuf_str(b), "h\xc3\xa9l\x1b[0m");
    textbuf_clear(b);
    append_fitted(b, "\x1b[1mab\x1b[0mcd", 5);
    EXPECT_STREQ(textbuf_str(b), "\x1b[1mab\x1b[0mcd\x1b[0m ");
    set_colour(false);

    strlist l;
    wrap_text("abcd efgh\nabcdefghij\n abcdef\n", 4, l);
    EXPECT_EQ(std::vector<std::string>(l.items, l.items + l.count),
              (std::vector<std::string>{"abcd", "efgh", "abcd", "efgh", "ij", " abc", "def"}));
}

TEST(ScreenText, UserTextIsCleanedToOneLine)
{
    textbuf b;
    std::string raw = "\x1b]0;title\x07red\x1b[31m!\ttab\nnext\r";
    append_clean_line(b, raw.data(), raw.size());
    EXPECT_STREQ(textbuf_str(b), "red! tab next");
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

int echo_input(int argc, char **argv)
{
    char buf[64];
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    printf("%s %d %.*s", argv[0], argc, static_cast<int>(n > 0 ? n : 0), buf);
    fflush(stdout);
    fprintf(stderr, "!");
    return 0;
}

int dies(int, char **)
{
    program_name = "kelv";
    die("no such message: %s", "7");
}

std::string reported(int (*fn)(int, char **), int &status, const char *input = nullptr)
{
    char arg[] = "word";
    char *argv[] = {arg, nullptr};
    textbuf in, out;
    if (input)
        textbuf_append_str(in, input);
    status = run_reported({fn, 1, argv}, input ? &in : nullptr, out);
    return std::string(out.data ? out.data : "", out.len);
}

} // namespace

TEST(Operations, FailuresAreReportedNeverAsDone)
{
    int status;
    EXPECT_EQ(reported(echo_input, status, "typed"), "word 1 typed!");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(reported(dies, status), "kelv: no such message: 7\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(reported(silent_failure, status), "The operation failed with exit status 3.\n");
    EXPECT_EQ(status, 3);
    EXPECT_EQ(reported(killed, status), "halfway\nThe operation was interrupted before it finished.\n");
    EXPECT_EQ(status, run_killed);

    // Without a descriptor to spare, not even the pipes can be made.
    run_result r = run_in_child([] {
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_NOFILE, &none);
        int status;
        std::string out = reported(echo_input, status);
        fprintf(stderr, "%d %s", status, out.c_str());
    });
    EXPECT_EQ(r.err, "-1 The operation could not be started: Too many open files.\n");
}
