// Display width where the screens do not reach it. The test process keeps
// the "C" locale it starts with, where the C library knows no character
// beyond ASCII: the wide ones are measured right only because the measure
// loads UTF-8 tables of its own.
#include "common/common.h"

#include <gtest/gtest.h>
#include <vector>

TEST(Width, ColumnsAndCellsAsTheTerminalDrawsThem)
{
    for (auto [text, columns] : {std::pair{"Done ✅", 7}, {"ｆｕｌｌ", 8}, {"Cafe\u0301", 4}, {"a\u200bb", 2},
                                 {"\x1b[1;32mok\x1b[0m", 2}, {"\x01\x7f\xc2\x85", 0}, {"\xf1\x80\x80\x80", 1}})
        EXPECT_EQ(width_of(text), columns) << text;
    // A combining mark stays with its letter at the cut; tabs show as
    // blanks, other controls and an unterminated sequence not at all; the
    // reset follows the text, before the padding.
    textbuf b;
    textbuf_append_cell(b, "Cafe\u0301s", 4);
    textbuf_append_cell(b, "\x1b[1ma\tb\x07" "c\x1b[31", 5, "|");
    EXPECT_STREQ(textbuf_str(b), "Cafe\u0301\x1b[1ma bc| ");
}

TEST(Width, ACursorStepsOverWholeCharacters)
{
    const char *text = "ae\u0301日😀b"; // "a", "e" with its acute, "日", "😀", "b"
    std::vector<size_t> right, left;
    for (size_t at = 0; right.empty() || right.back() < strlen(text); at = width_char_after(text, at))
        right.push_back(at);
    for (size_t at = strlen(text); left.empty() || left.front() > 0; at = width_char_before(text, at))
        left.insert(left.begin(), at);
    EXPECT_EQ(right, (std::vector<size_t>{0, 1, 4, 7, 11, 12}));
    EXPECT_EQ(left, right);
}
