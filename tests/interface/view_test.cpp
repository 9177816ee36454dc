// The view of one message in a real terminal emulator, in test mode: its
// whole screen, its three panes scrolled past the screen's end, and the ways
// back.
#include "interactive_fixture.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

TEST_F(interactive_fixture, AnUntitledLongMessageWithMoreRecipientsThanRows)
{
    // Fourteen lines of text, one with planted controls; twelve recipients,
    // four in each state; confirmed with a channel that carries a sequence.
    const char *const numbers[] = {"one",  "two",   "three", "four",   "five",     "six",      "seven",
                                   "eight", "nine", "ten",   "eleven", "twelve", "thirteen", "fourteen"};
    std::vector<std::string> text;
    for (const char *n : numbers)
        text.push_back(std::string("Line ") + n + ".");
    text[1] = "Line two with a tab.";
    std::string written;
    for (const std::string &line : text)
        written += line + "\n";
    written.replace(written.find("Line two with"), 13, "Line two\twith");
    written.replace(written.find("Line three."), 11, "\x1b[31mLine three.\x1b[0m");
    message(1, 4, 4, 4, written, "", dec7 + 86400);
    write_confirmation(s, a, 1, std::to_string(dec7 + 65) + " terminal pts/3\x1b]0;pwned\x07\n");
    auto t = start(80, 24);
    ASSERT_TRUE(t->wait_for("Line one.")) << t->screen();
    ASSERT_TRUE(settled(*t)) << t->screen();
    t->keys({"Enter"});
    ASSERT_TRUE(t->wait_for("─ Message 1 ")) << t->screen();
    ASSERT_TRUE(settled(*t)) << t->screen();
    std::string confirmed = " daemon        confirmed on 07/12 09:31 (terminal pts/3)";
    std::string delivered = " bin           delivered, not confirmed (expired)";
    std::string sent = " sys           sent, not delivered";
    std::string screen = masked(t->screen());
    std::string heading = top(80, "Message 1") +
                          row(80, " no title · 07/12 09:31 · from root · expired on 08/12 09:30") +
                          row(80, " │ Line one.") + row(80, " │ Line two with a tab.") + row(80, " │ Line three.") +
                          row(80, " │ Line four.") + row(80, " │ Line five.") +
                          row(80, " │ … 9 more lines in the Text pane") + row(80, "");
    std::string footer = bottom(80, "Tab recipients/history/text   ↑/↓ scroll   m remind   r revoke   Esc back");
    EXPECT_EQ(screen, heading +
                          row(80, "  Recipients (12)   History   Text   ████▒▒▒▒░░░░  4 confirmed · 4 delivered") +
                          row(80, "") + row(80, " USER          STATE") + row(80, confirmed) + row(80, confirmed) +
                          row(80, confirmed) + row(80, confirmed) + row(80, delivered) + row(80, delivered) +
                          row(80, delivered) + row(80, delivered) + row(80, sent) + footer);
    EXPECT_NE(t->pane_title(), "pwned");
    // Each state in its colour.
    std::string styled = t->screen(true);
    EXPECT_NE(styled.find("\x1b[32mconfirmed on"), std::string::npos) << styled;
    EXPECT_NE(styled.find("\x1b[33mdelivered,"), std::string::npos) << styled;
    EXPECT_NE(styled.find("\x1b[31msent, not"), std::string::npos) << styled;

    // Nine rows show: paging down stops at the last full pane, paging up at
    // the top, and one row at a time in between.
    t->keys({"NPage", "NPage"});
    ASSERT_TRUE(t->wait_for(row(80, sent) + row(80, sent) + row(80, sent) + row(80, sent) + "├")) << t->screen();
    EXPECT_NE(t->screen().find(row(80, " USER          STATE") + row(80, confirmed) + row(80, delivered)),
              std::string::npos)
        << t->screen();
    t->keys({"PPage", "PPage", "Down"});
    ASSERT_TRUE(t->wait_for(row(80, " USER          STATE") + row(80, confirmed) + row(80, confirmed) +
                            row(80, confirmed) + row(80, delivered)))
        << t->screen();

    // The whole text, one pane back from the recipients: its first ten
    // lines, then, paged down, its last ten; one row up from there. Tab goes
    // on round to the recipients, at their top.
    auto text_pane = [&](size_t from) {
        std::string rows;
        for (size_t i = from; i < from + 10; i++)
            rows += row(80, " │ " + text[i]);
        return heading + row(80, "  Recipients (12)   History   Text   ████▒▒▒▒░░░░  4 confirmed · 4 delivered") +
               row(80, "") + rows + footer;
    };
    t->keys({"BTab"});
    ASSERT_TRUE(t->wait_for(row(80, " │ Line ten."))) << t->screen();
    EXPECT_EQ(masked(t->screen()), text_pane(0));
    EXPECT_NE(t->screen(true).find("\x1b[1;7m Text "), std::string::npos) << t->screen(true);
    t->keys({"NPage", "NPage"});
    ASSERT_TRUE(t->wait_for(row(80, " │ Line fourteen.") + "├")) << t->screen();
    EXPECT_EQ(masked(t->screen()), text_pane(4));
    t->keys({"Up"});
    ASSERT_TRUE(t->wait_for(row(80, " │ Line thirteen.") + "├")) << t->screen();
    t->keys({"Tab"});
    ASSERT_TRUE(t->wait_for(row(80, " USER          STATE") + row(80, confirmed))) << t->screen();

    // An expired message is not reminded: the footer says why for a few
    // seconds, then shows the keys again. Esc goes back to the list, which
    // goes on.
    std::string before = masked(t->screen());
    t->keys({"m"});
    ASSERT_TRUE(t->wait_for("Message 1 has expired")) << t->screen();
    EXPECT_EQ(masked(t->screen()), with_footer(before, 80, "Message 1 has expired: nobody to remind."));
    ASSERT_TRUE(t->wait_gone("Message 1 has expired", 8000)) << t->screen();
    EXPECT_EQ(masked(t->screen()), before);
    EXPECT_EQ(t->screen().find("Remind message"), std::string::npos);
    t->keys({"Escape"});
    ASSERT_TRUE(t->wait_for("─ Kelvora · sent messages ")) << t->screen();

    // A message that disappears while it is shown closes its view.
    t->keys({"Enter"});
    ASSERT_TRUE(t->wait_for("─ Message 1 ")) << t->screen();
    run_program({"rm", "-rf", s.sent(1, "")});
    ASSERT_TRUE(t->wait_for("No messages sent.", 5000)) << t->screen();
    quit(*t);
}
