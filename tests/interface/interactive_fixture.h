// The fixture of the interface's whole-screen tests: kelv without a command,
// in test mode on a private store, in a real terminal emulator, and the
// helpers that build the rows a screen is expected to show.
#pragma once

#include "report_store.h"
#include "tmux.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <memory>
#include <string>
#include <vector>

struct interactive_fixture : ::testing::Test {
    // Recipients of the hand-made messages: accounts that exist everywhere.
    static inline const std::string a = "daemon", b = "bin", c = "sys";

    test_store s;
    int64_t dec7 = utc(2023, 12, 7, 9, 30);

    void SetUp() override { use_utc(); }

    // Message n sent at dec7 + n minutes to the confirmed, delivered and
    // sent-only recipients (names repeat: each entry counts).
    void message(long long n, int confirmed, int delivered, int sent, const std::string &text,
                 const std::string &title = "", int64_t expires = 0)
    {
        std::vector<std::string> to(static_cast<size_t>(confirmed), a);
        to.insert(to.end(), static_cast<size_t>(delivered), b);
        to.insert(to.end(), static_cast<size_t>(sent), c);
        make_record(s, n, dec7 + n * 60, to, text, title, expires);
        if (confirmed)
            add_delivery(s, n, a);
        if (delivered)
            add_delivery(s, n, b);
        if (confirmed)
            write_confirmation(s, a, n, std::to_string(dec7 + n * 60 + 5) + " desktop\n");
    }

    // Twenty messages: plain ones, the bars of the worked examples, a revoked
    // and expired one whose title and text carry escape sequences, and an
    // untitled one that reached nobody yet.
    void twenty_messages()
    {
        for (long long n = 1; n <= 14; n++)
            message(n, 1, 0, 0, "Plain message " + std::to_string(n) + ".\n");
        message(15, 1, 0, 0, "Backups run at night.\n", "Backup");
        message(16, 11, 1, 0, "Disk quota raised to 20 GB for everyone.\n", "Quota");
        message(17, 99, 0, 1, "Printer on floor 2 is out of order.\n");
        message(18, 100, 1, 1, "The VPN certificate changes on Monday.\n", "VPN");
        message(19, 0, 1, 0, "\x1b[31mRed\x1b[0m\ttext\x1b[2J\n", "\x1b]0;pwned\x07" "Evil", now() - 60);
        write_text(s.sent(19, "revoked"), std::to_string(now() - 120) + "\n");
        message(20, 0, 0, 2, "Reboot at 18:00.\nSave your work.\n");
    }

    // Runs kelv (with args, else without a command) in a pane of cols×rows,
    // between two readings of stty -g in the pane into stty.TAG.before and
    // stty.TAG.after; env holds further NAME=value words of its command line.
    std::unique_ptr<tmux_session> start(int cols, int rows, const std::vector<std::string> &env = {},
                                        const std::string &args = "", const std::string &tag = "kelv")
    {
        std::string vars = "KELV_TEST=1 KELV_VAR=" + s.dir.path + " KELV_TEST_TTY=" + s.tty + " TZ=UTC";
        for (const std::string &e : env)
            vars += " " + e;
        std::string stty = s.path("stty." + tag);
        std::string command = "trap : INT QUIT; stty -g > " + stty + ".before; env -u NO_COLOR " + vars + " " + kelv_path() +
                              args + "; echo \"[kelv ended: $?]\"; stty -g > " + stty + ".tmp; mv " + stty +
                              ".tmp " + stty + ".after; exec sleep 100000";
        return std::make_unique<tmux_session>(cols, rows, command);
    }

    // Waits until kelv has ended with status and checks that the terminal is
    // as it was before.
    void expect_ended_with_terminal_back(const tmux_session &t, int status = 0, const std::string &tag = "kelv")
    {
        ASSERT_TRUE(t.wait_for("[kelv ended: " + std::to_string(status) + "]")) << tag << ":\n" << t.screen();
        std::string stty = s.path("stty." + tag);
        for (int i = 0; i < 250 && !exists(stty + ".after"); i++)
            usleep(20000);
        EXPECT_EQ(read_text(stty + ".after"), read_text(stty + ".before"));
        EXPECT_NE(read_text(stty + ".before"), "");
    }

    // Quits with q and checks as expect_ended_with_terminal_back does.
    void quit(const tmux_session &t) { t.keys({"q"}); expect_ended_with_terminal_back(t); }

    // Opens the compose form from an empty list.
    static void open_form(const tmux_session &t)
    {
        ASSERT_TRUE(t.wait_for("No messages sent.")) << t.screen();
        t.keys({"n"});
        ASSERT_TRUE(t.wait_for("─ New message ")) << t.screen();
    }

    // Waits up to 5 seconds for the cursor to stand at "x,y" (from 0) and
    // returns where it stands.
    static std::string cursor_at(const tmux_session &t, const std::string &expected)
    {
        std::string at;
        for (int i = 0; i < 250 && (at = t.format("#{cursor_x},#{cursor_y}")) != expected; i++)
            usleep(20000);
        return at;
    }

    // Waits until the screen no longer says that mailboxes are being read:
    // the list and the view show at once what the sent records say, and
    // fill in what the mailboxes say as they answer.
    static bool settled(const tmux_session &t)
    {
        return t.wait_gone(" mailbox…") && t.wait_gone(" mailboxes…") && t.wait_gone("mailbox not read yet");
    }

    // What every frame keeps whatever text it shows: one row per row of
    // the window, each exactly as wide, the borders first and last. "" when
    // it does, else what is wrong.
    static std::string misdrawn(const tmux_session &t, int cols, int rows)
    {
        std::vector<std::string> screen = t.rows();
        bool placed = screen.size() == static_cast<size_t>(rows) && screen.front().starts_with("┌") &&
                      screen.back().starts_with("└");
        std::string wrong = placed ? "" : "rows or borders out of place\n";
        for (size_t i = 0; i < screen.size(); i++)
            if (columns(screen[i]) != static_cast<size_t>(cols))
                wrong += "row " + std::to_string(i) + ": " + std::to_string(columns(screen[i])) + " columns\n";
        return wrong;
    }

    // Body row k (from 0) of the screen, without its frame.
    static std::string body_row(const tmux_session &t, int k)
    {
        std::string line = t.rows().at(static_cast<size_t>(k) + 1);
        return line.substr(strlen("│ "), line.size() - strlen("│ ") - strlen(" │"));
    }
};

std::string repeat(const std::string &piece, size_t times);
// The content of a body row of a screen cols wide, padded to its width.
std::string padded(int cols, const std::string &content);
// One body row of a screen cols wide, as the emulator shows it.
std::string row(int cols, const std::string &content);
// The last three rows of a screen cols wide: separator, footer, bottom.
std::string bottom(int cols, const std::string &footer);
// The top border of a screen with this title and the load time masked.
std::string top(int cols, const std::string &title = "Kelvora · sent messages");
// The screen with the time of the last load masked.
std::string masked(const std::string &screen);
// The screen with its footer row showing footer instead.
std::string with_footer(const std::string &screen, int cols, const std::string &footer);
// The whole screen of a screen titled title that waits for the terminal to
// grow to 80×20, with footer as its only key.
std::string waiting(int cols, int rows, const std::string &title, const std::string &footer);
