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

// Frames, widths and greedy filling are checked on whole screens and on the
// manual page; here only what neither reaches: a room of at least 24 columns
// however deep the indent, and words wider than the room.
TEST(GuideLayout, WrapsWithARoomOfAtLeast24AndNeverBreaksAWord)
{
    EXPECT_EQ(wrap(" \t\n", 80, 3), std::vector<std::string>{});
    EXPECT_EQ(wrap("aaaa bbbb cccc dddd eeee ffff", 10, 4),
              (std::vector<std::string>{"    aaaa bbbb cccc dddd eeee", "    ffff"}));
    // Width counts «» once each.
    std::string longword(30, 'x');
    EXPECT_EQ(wrap(("«a» " + longword + " b").c_str(), 24, 0), (std::vector<std::string>{"«a»", longword, "b"}));
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

} // namespace

// The keys tmux sends are pressed in the screen tests; these are the other
// forms terminals use, each taken whole.
TEST(GuideKeys, EscapeSequencesAreDecodedAndConsumedWhole)
{
    using enum guide_key;
    for (auto [bytes, key] : {std::pair{"\033OB", down}, {"\033OH", first_line}, {"\033[F", last_page},
                              {"\033[7~", first_line}, {"\033[8~", last_page}, {"\033[2~", none},
                              {"\033[1;5A", first_line}, {"\033x", none}, {"\033Ox", none}, {"\r", next_tab}}) {
        pending = bytes + 1;
        EXPECT_EQ(guide_decode_key(static_cast<unsigned char>(bytes[0]), scripted_byte), key) << bytes + 1;
        EXPECT_EQ(pending, "") << bytes + 1;
    }
}
