// The layout toolkit and the key decoder, without a terminal.
#include "guide/guide.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::vector<std::string> wrap(const char *text, int width, int indent)
{
    strlist l;
    wrap_words(text, width, indent, l);
    return std::vector<std::string>(l.items, l.items + l.count);
}

} // namespace

TEST(GuideLayout, WidthsCountCodePoints)
{
    EXPECT_EQ(guide_text_width("Tür"), 3u);
    EXPECT_EQ(guide_text_width("─ a "), 4u);
    EXPECT_EQ(guide_text_prefix("a─b", 2), strlen("a─"));
    EXPECT_EQ(guide_text_prefix("ab", 5), 2u);
}

TEST(GuideLayout, WrapsGreedilyWithAHangingIndentAndARoomOfAtLeast24)
{
    EXPECT_EQ(wrap("ab cd ef", 30, 7), std::vector<std::string>{"       ab cd ef"});
    EXPECT_EQ(wrap("one\ntwo", 80, 0), std::vector<std::string>{"one two"});
    EXPECT_EQ(wrap(" \t\n", 80, 3), std::vector<std::string>{});
    // Width 10, indent 4: the room is 24, not 6, and a line may fill it.
    EXPECT_EQ(wrap("aaaa bbbb cccc dddd eeee ffff", 10, 4),
              (std::vector<std::string>{"    aaaa bbbb cccc dddd eeee", "    ffff"}));
    // A word wider than the room stands alone, unbroken; width counts «» once.
    std::string longword(30, 'x');
    EXPECT_EQ(wrap(("«a» " + longword + " b").c_str(), 24, 0),
              (std::vector<std::string>{"«a»", longword, "b"}));
}

TEST(GuideLayout, SplitsEntriesAtTheBrokenBar)
{
    char *term;
    const char *description;
    split_entry("list¦Lists the messages sent", &term, &description);
    EXPECT_STREQ(term, "list");
    EXPECT_STREQ(description, "Lists the messages sent");
    free(term);
    split_entry("no bar", &term, &description);
    EXPECT_STREQ(term, "no bar");
    EXPECT_STREQ(description, "");
    free(term);
}

// Unstyled frames are checked whole through the terminal emulator; here only
// the order of the styles around a framed line.
TEST(GuideLayout, AFramedLineResetsEachStyleItSets)
{
    guide_style_init(true);
    guide_cols = 80;
    textbuf b;
    draw_box_line(b, 'F', "term");
    EXPECT_STREQ(textbuf_str(b), ("\033[2m│\033[0m \033[1;32mterm\033[0m" + std::string(72, ' ') +
                                  " \033[2m│\033[0m").c_str());
    guide_cols = 10;
    textbuf_clear(b);
    draw_rule(b, "┌", "┐", "a long label"); // no room left: no dashes, nothing cut
    EXPECT_STREQ(textbuf_str(b), "\033[2m┌\033[0m\033[1;36m─ a long label \033[0m\033[2m┐\033[0m");
    guide_style_init(false);
}

namespace {

std::string pending; // the bytes a scripted terminal still has to give

int scripted_byte(int)
{
    if (pending.empty())
        return -1;
    int c = static_cast<unsigned char>(pending[0]);
    pending.erase(0, 1);
    return c;
}

guide_key decode(const std::string &bytes)
{
    pending = bytes.substr(1);
    return guide_decode_key(static_cast<unsigned char>(bytes[0]), scripted_byte);
}

} // namespace

TEST(GuideKeys, EscapeSequencesAreDecodedAndConsumedWhole)
{
    // The keys tmux sends are pressed in the screen tests; these are the
    // other forms terminals use.
    struct {
        const char *bytes;
        guide_key key;
    } cases[] = {
        {"\033OB", guide_key::down},         {"\033OH", guide_key::first_line},
        {"\033[F", guide_key::last_page},    {"\033[7~", guide_key::first_line},
        {"\033[8~", guide_key::last_page},   {"\033[2~", guide_key::none},
        {"\033[1;5A", guide_key::first_line}, {"\033x", guide_key::none},
        {"\033Ox", guide_key::none},         {"\r", guide_key::next_tab},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(decode(c.bytes), c.key) << c.bytes + 1;
        EXPECT_EQ(pending, "") << c.bytes + 1;
    }
}
