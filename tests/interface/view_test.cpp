// The view of one message in a real terminal emulator, in test mode: its
// whole screen, scrolling a pane longer than the screen, and the ways back.
#include "interactive_fixture.h"

#include <gtest/gtest.h>

TEST_F(interactive_fixture, AnUntitledLongMessageWithMoreRecipientsThanRows)
{
    // Seven lines of text, one with planted controls; twelve recipients,
    // four in each state; confirmed with a channel that carries a sequence.
    message(1, 4, 4, 4,
            "Line one.\nLine two\twith a tab.\n\x1b[31mLine three.\x1b[0m\nLine four.\nLine five.\nLine six.\n"
            "Line seven.\n",
            "", dec7 + 86400);
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
    EXPECT_EQ(screen, top(80, "Message 1") +
                          row(80, " no title · 07/12 09:31 · from root · expired on 08/12 09:30") +
                          row(80, " │ Line one.") + row(80, " │ Line two with a tab.") + row(80, " │ Line three.") +
                          row(80, " │ Line four.") + row(80, " │ Line five.") + row(80, " │ …") + row(80, "") +
                          row(80, "  Recipients (12)   History     ████▒▒▒▒░░░░  4 confirmed · 4 delivered · 4 ") +
                          row(80, "") + row(80, " USER          STATE") + row(80, confirmed) + row(80, confirmed) +
                          row(80, confirmed) + row(80, confirmed) + row(80, delivered) + row(80, delivered) +
                          row(80, delivered) + row(80, delivered) + row(80, sent) +
                          bottom(80, "Tab recipients/history   ↑/↓ scroll   m remind   r revoke   Esc back"));
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

    // An expired message is not reminded; Esc goes back to the list, which
    // goes on.
    t->keys({"m"});
    EXPECT_FALSE(t->wait_for("Remind message", 700));
    t->keys({"Escape"});
    ASSERT_TRUE(t->wait_for("─ Kelvora · sent messages ")) << t->screen();

    // Shrunk below 80×20 while a message is shown, the interface ends as it
    // does from the list.
    auto small = start(80, 24, {}, "", "small");
    ASSERT_TRUE(small->wait_for("Line one.")) << small->screen();
    small->keys({"Enter"});
    ASSERT_TRUE(small->wait_for("─ Message 1 ")) << small->screen();
    small->resize(80, 19);
    expect_ended_with_terminal_back(*small, 0, "small");

    // A message that disappears while it is shown closes its view.
    t->keys({"Enter"});
    ASSERT_TRUE(t->wait_for("─ Message 1 ")) << t->screen();
    run_program({"rm", "-rf", s.sent(1, "")});
    ASSERT_TRUE(t->wait_for("No messages sent.", 5000)) << t->screen();
    quit(*t);
}
