// The guide on a real terminal emulator: whole screens as tmux shows them,
// the keys, the fallbacks below the minimum size, and the terminal given
// back on every way out.
#include "support.h"
#include "tmux.h"

#include <csignal>
#include <gtest/gtest.h>
#include <string>

namespace {

// A shell in the window prints a marker, runs kelv help with a clean
// environment plus env, then reports its status and any raw-mode flag left
// on the terminal, and stays.
std::string guide_command(const std::string &env)
{
    return "echo before; env -i PATH=/usr/bin:/bin TERM=screen LC_ALL=C.UTF-8 KELV_TEST=1 "
           "KELV_VAR=/nonexistent " + env + " " + kelv_path() + " help" +
           "; echo status=$?; echo \"raw=[$(stty -a | tr ' ;' '\\n\\n' | grep -x -e -icanon -e -echo)]\"; "
           "exec sleep 600";
}

// Waits until the footer shows the position.
bool shows_lines(tmux_session &t, const std::string &position)
{
    return t.wait_for(position + " │\n└");
}

// kelv ended with status 0 and left line mode and the cursor on, on the
// primary screen; with restored, that screen is the one it found.
void expect_terminal_given_back(tmux_session &t, bool restored = true)
{
    ASSERT_TRUE(t.wait_for("raw=[]")) << t.screen();
    EXPECT_NE(t.screen().find(restored ? "before\nstatus=0\n" : "status=0\n"), std::string::npos) << t.screen();
    EXPECT_EQ(t.format("#{alternate_on} #{cursor_flag}"), "0 1");
}

const char *const info_80x24 =
    "┌─ kelv — guide ───────────────────────────────────────────────────────────────┐\n"
    "│  Info  Commands  Options  Examples  Files                                    │\n"
    "├──────────────────────────────────────────────────────────────────────────────┤\n"
    "│ NAME                                                                         │\n"
    "│    kelv — messages to users with read confirmation                           │\n"
    "│                                                                              │\n"
    "│ SYNOPSIS                                                                     │\n"
    "│    kelv send --to DEST [options] [TEXT]                                      │\n"
    "│    kelv list [--json]                                                        │\n"
    "│    kelv status ID [--json]                                                   │\n"
    "│    kelv                                                                      │\n"
    "│    kelv revoke ID                                                            │\n"
    "│    kelv remind ID                                                            │\n"
    "│    kelv log ID [--json]                                                      │\n"
    "│    kelv purge DURATION                                                       │\n"
    "│    kelv version                                                              │\n"
    "│                                                                              │\n"
    "│ DESCRIPTION                                                                  │\n"
    "│    Kelvora lets administrators send text messages to the users of the        │\n"
    "│    machine and know who has read them. Messages appear in terminals          │\n"
    "│    (console, ssh, desktop terminals, tmux) and on the desktop, in a dialog   │\n"
    "├──────────────────────────────────────────────────────────────────────────────┤\n"
    "│ ←/→ tabs · ↑/↓ scroll · PgUp/PgDn · g/G · q quit               lines 1-18/26 │\n"
    "└──────────────────────────────────────────────────────────────────────────────┘\n";

} // namespace

TEST(GuideScreen, At80x24TheTabsScrollAndLeaveTheTerminalAsTheyFoundIt)
{
    tmux_session t(80, 24, guide_command(""));
    ASSERT_TRUE(t.wait_for("lines 1-18/26")) << t.screen();
    EXPECT_EQ(t.screen(), info_80x24);
    // The closing line names the manual's path whole, not cut at the frame.
    t.keys({"G"});
    ASSERT_TRUE(shows_lines(t, "lines 9-26/26")) << t.screen();
    EXPECT_EQ(t.rows()[19], "│    Kelvora 0.2.0 · complete manual:" + std::string(42, ' ') + "│");
    EXPECT_EQ(t.rows()[20], "│    /usr/local/share/doc/kelvora/User Manual.html" + std::string(29, ' ') + "│");

    // Commands: 43 lines in 18 rows; Page Down and Up move by 24 - 7 = 17.
    t.keys({"Tab"});
    ASSERT_TRUE(shows_lines(t, "lines 1-18/43")) << t.screen();
    // In colour: the current tab reversed, the others dim, a term green, and
    // each style ended where its text ends.
    const std::string plain = "\033[0m\033[39m\033[49m";
    EXPECT_EQ(t.rows(true)[1], "│" + plain + " \033[2m Info \033[0;1;7m\033[39m\033[49m Commands \033[0;2m\033[39m"
                               "\033[49m Options  Examples  Files " + plain + std::string(35, ' ') + "\033[2m│");
    EXPECT_EQ(t.rows(true)[5], "│" + plain + " \033[1m\033[32m (no command)" + plain + std::string(64, ' ') + "\033[2m│");
    t.keys({"G"});
    ASSERT_TRUE(shows_lines(t, "lines 26-43/43")) << t.screen();
    EXPECT_EQ(t.rows()[20], "│     Shows this guide." + std::string(56, ' ') + "│");
    t.keys({"PageUp", "Up", "k"}); // 26 - 17 - 1 - 1
    ASSERT_TRUE(shows_lines(t, "lines 7-24/43")) << t.screen();
    t.keys({"Home", "6", "PageDown"}); // the digit 6 names no tab
    ASSERT_TRUE(shows_lines(t, "lines 18-35/43")) << t.screen();
    t.keys({"End", "j"});
    ASSERT_TRUE(shows_lines(t, "lines 26-43/43")) << t.screen();

    // Each tab keeps its place: Info is still at the top, Commands at the end.
    t.keys({"Left"});
    ASSERT_TRUE(shows_lines(t, "lines 9-26/26")) << t.screen();
    t.keys({"l"});
    ASSERT_TRUE(shows_lines(t, "lines 26-43/43")) << t.screen();
    t.keys({"5"});
    t.type("\033[Z"); // Shift-Tab, from Files
    ASSERT_TRUE(t.wait_for("│ Examples ")) << t.screen();
    t.keys({"Escape"});
    expect_terminal_given_back(t);
}

TEST(GuideScreen, At44x10TheFrameHoldsAndTheGuideEndsWhenTheTerminalShrinksOrOnSigterm)
{
    tmux_session t(44, 10, guide_command("NO_COLOR="));
    ASSERT_TRUE(t.wait_for("┘")) << t.screen();
    EXPECT_EQ(t.screen(), "┌─ kelv — guide ───────────────────────────┐\n"
                        "│ >Info< Commands Options Examples Files   │\n"
                        "├──────────────────────────────────────────┤\n"
                        "│ NAME                                     │\n"
                        "│    kelv — messages to users with read    │\n"
                        "│    confirmation                          │\n"
                        "│                                          │\n"
                        "├──────────────────────────────────────────┤\n"
                        "│ ←/→ tabs · ↑/↓ scroll · PgUp/PgDn · g/G  │\n"
                        "└──────────────────────────────────────────┘\n");
    EXPECT_EQ(t.screen(true).find('\033'), std::string::npos);
    t.keys({"Right", "Right"});
    ASSERT_TRUE(t.wait_for("│ Info Commands >Options< Examples Files   │")) << t.screen();
    // An example wider than the frame goes on over a second line.
    t.keys({"4", "Down", "Down", "Down", "Down", "Down", "Down"});
    ASSERT_TRUE(t.wait_for("│  kelv send --to @developers --title      │\n"
                           "│  Maintenance --file notice.txt           │\n")) << t.screen();
    t.resize(43, 10);
    expect_terminal_given_back(t);

    // In colour the current tab is reversed instead of marked.
    tmux_session c(44, 10, guide_command(""));
    ASSERT_TRUE(c.wait_for("┘")) << c.screen();
    EXPECT_EQ(c.rows()[1], "│  Info  Commands Options Examples Files   │");
    EXPECT_NE(c.rows(true)[1].find("\033[1;7m Info \033[0m"), std::string::npos) << c.rows(true)[1];
    pid_t kelv = first_child(c.pane_pid());
    ASSERT_GT(kelv, 0);
    kill(kelv, SIGTERM);
    expect_terminal_given_back(c);
}

TEST(GuideScreen, Below44x10TheManualIsPaged)
{
    // less, found along PATH, shows the page laid out for 60 columns.
    {
        tmux_session t(43, 10, guide_command(""));
        ASSERT_TRUE(t.wait_for("KELV(1)")) << t.screen();
        EXPECT_EQ(t.rows().back(), ":") << "less's prompt";
        t.keys({"q"});
        expect_terminal_given_back(t, false);
    }
    // PAGER is honoured; NO_COLOR leaves the styles out.
    {
        temp_dir d;
        tmux_session t(80, 9, guide_command("NO_COLOR=1 PAGER='cat >" + d / "paged" + "'"));
        expect_terminal_given_back(t);
        std::string paged = read_text(d / "paged");
        EXPECT_EQ(paged.find('\033'), std::string::npos);
        EXPECT_EQ(paged.substr(0, paged.find('\n')), "KELV(1)" + std::string(27, ' ') + "kelv manual" +
                                                        std::string(28, ' ') + "KELV(1)");
    }
    // Without less on PATH, or with a pager that the shell cannot find or
    // cannot execute, the page goes straight to the terminal.
    temp_dir d;
    write_text(d / "not-a-program", "#!/bin/sh\n", 0644);
    for (const std::string &env : {std::string("PATH=/nonexistent"), std::string("PAGER=/nonexistent/pager"),
                                   "PAGER=" + d / "not-a-program"}) {
        tmux_session t(80, 9, guide_command(env));
        expect_terminal_given_back(t, false);
        EXPECT_NE(t.screen().find("kelv 0.2.0" + std::string(63, ' ') + "KELV(1)\nstatus=0"), std::string::npos)
            << env << "\n" << t.screen();
    }
}

TEST(GuideScreen, SuspendedItGivesTheTerminalBackUntilItContinues)
{
    temp_dir d;
    // An interactive shell with job control, as the administrator has.
    tmux_session t(80, 24, "exec env -i PATH=/usr/bin:/bin HOME=" + d.path + " PS1='P> ' bash --norc -i");
    ASSERT_TRUE(t.wait_for("P>")) << t.screen();
    std::string before = shell_stty(t, d.path);
    ASSERT_NE(before, "");
    t.type("KELV_TEST=1 KELV_VAR=/nonexistent " + kelv_path() + " help");
    t.keys({"Enter"});
    ASSERT_TRUE(t.wait_for("lines 1-18/26")) << t.screen();
    t.keys({"G"});
    ASSERT_TRUE(t.wait_for("lines 9-26/26")) << t.screen();
    t.keys({"C-z"});
    ASSERT_TRUE(t.wait_for("Stopped")) << t.screen();
    EXPECT_EQ(t.format("#{alternate_on} #{cursor_flag}"), "0 1");
    EXPECT_EQ(shell_stty(t, d.path), before);
    t.type("fg");
    t.keys({"Enter"});
    // Drawn again where it was, and still answering keys.
    ASSERT_TRUE(t.wait_for("lines 9-26/26")) << t.screen();
    t.keys({"g"});
    ASSERT_TRUE(t.wait_for("lines 1-18/26")) << t.screen();
    t.keys({"q"});
    ASSERT_TRUE(t.wait_gone("lines 1-18/26")) << t.screen();
    EXPECT_EQ(shell_stty(t, d.path), before);
}
