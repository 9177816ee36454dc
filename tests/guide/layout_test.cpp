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

TEST(GuideLayout, FramePiecesAreExactlyAsWideAsTheTerminal)
{
    guide_style_init(false);
    guide_cols = 10;
    textbuf b;
    draw_rule(b, "┌", "┐", nullptr);
    EXPECT_STREQ(textbuf_str(b), "┌────────┐");
    textbuf_clear(b);
    draw_rule(b, "┌", "┐", "a long label"); // no room left for dashes
    EXPECT_STREQ(textbuf_str(b), "┌─ a long label ┐");

    guide_cols = 80;
    textbuf_clear(b);
    std::string text(100, 'x');
    draw_box_line(b, 'T', text.c_str());
    EXPECT_EQ(std::string(textbuf_str(b)), "│ " + std::string(76, 'x') + " │");
    textbuf_clear(b);
    draw_box_line(b, 'H', "Tür");
    EXPECT_EQ(guide_text_width(textbuf_str(b)), 80u);

    guide_style_init(true);
    textbuf_clear(b);
    draw_box_line(b, 'F', "term");
    EXPECT_STREQ(textbuf_str(b), ("\033[2m│\033[0m \033[1;32mterm\033[0m" + std::string(72, ' ') +
                                  " \033[2m│\033[0m").c_str());
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
    struct {
        const char *bytes;
        guide_key key;
    } cases[] = {
        {"\033", guide_key::quit},           {"\033[A", guide_key::up},
        {"\033OB", guide_key::down},         {"\033[C", guide_key::next_tab},
        {"\033[Z", guide_key::prev_tab},     {"\033OH", guide_key::first_line},
        {"\033[F", guide_key::last_page},    {"\033[1~", guide_key::first_line},
        {"\033[7~", guide_key::first_line},  {"\033[4~", guide_key::last_page},
        {"\033[5~", guide_key::page_up},     {"\033[6~", guide_key::page_down},
        {"\033[2~", guide_key::none},        {"\033[1;5A", guide_key::first_line},
        {"\033x", guide_key::none},          {"\033Ox", guide_key::none},
        {"\r", guide_key::next_tab},         {"\n", guide_key::next_tab},
        {"6", guide_key::none},              {"5", guide_key::tab_5},
        {"Q", guide_key::quit},              {"G", guide_key::last_page},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(decode(c.bytes), c.key) << c.bytes + 1;
        EXPECT_EQ(pending, "") << c.bytes + 1;
    }
}
