// kelv without a command, on a private store in test mode, in a real terminal
// emulator: whole screens as a user sees them, the keys of the list, the
// dialogs, the operations they run, and the terminal given back on every way
// out.
#include "interactive_fixture.h"

#include <gtest/gtest.h>
#include <cstring>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const std::string list_80x24 =
    "┌─ Kelvora · sent messages ────────────────────────────── updated at hh:mm:ss ─┐\n"
    "│                                                                              │\n"
    "│   ID  DATE         MESSAGE                             RECIPIENTS            │\n"
    "│ > 20  07/12 09:50  Reboot at 18:00.                    ░░░░░░░░░░░░  0/2     │\n"
    "│   19  07/12 09:49  [revoked] [expired] Evil · Red tex  ▒▒▒▒▒▒▒▒▒▒▒▒  0/1     │\n"
    "│   18  07/12 09:48  VPN · The VPN certificate changes   ██████████▒░  100/102 │\n"
    "│   17  07/12 09:47  Printer on floor 2 is out of order  ███████████░  99/100  │\n"
    "│   16  07/12 09:46  Quota · Disk quota raised to 20 GB  ███████████▒  11/12   │\n"
    "│   15  07/12 09:45  Backup · Backups run at night.      ████████████  1/1     │\n"
    "│   14  07/12 09:44  Plain message 14.                   ████████████  1/1     │\n"
    "│   13  07/12 09:43  Plain message 13.                   ████████████  1/1     │\n"
    "│   12  07/12 09:42  Plain message 12.                   ████████████  1/1     │\n"
    "│   11  07/12 09:41  Plain message 11.                   ████████████  1/1     │\n"
    "│   10  07/12 09:40  Plain message 10.                   ████████████  1/1     │\n"
    "│    9  07/12 09:39  Plain message 9.                    ████████████  1/1     │\n"
    "│    8  07/12 09:38  Plain message 8.                    ████████████  1/1     │\n"
    "│    7  07/12 09:37  Plain message 7.                    ████████████  1/1     │\n"
    "│    6  07/12 09:36  Plain message 6.                    ████████████  1/1     │\n"
    "│    5  07/12 09:35  Plain message 5.                    ████████████  1/1     │\n"
    "│    4  07/12 09:34  Plain message 4.                    ████████████  1/1     │\n"
    "│ █ confirmed   ▒ delivered   ░ sent                                           │\n"
    "├──────────────────────────────────────────────────────────────────────────────┤\n"
    "│ Enter open  n new  r revoke  m remind  p purge  / search  ? keys  q quit     │\n"
    "└──────────────────────────────────────────────────────────────────────────────┘\n";

} // namespace

TEST_F(interactive_fixture, TheListNarrowAndWideItsSelectionAndSearch)
{
    twenty_messages();
    auto t = start(80, 24);
    ASSERT_TRUE(t->wait_for("Plain message 4.")) << t->screen();
    ASSERT_TRUE(settled(*t)) << t->screen();
    EXPECT_EQ(masked(t->screen()), list_80x24);
    // The planted sequences changed nothing but the text.
    EXPECT_NE(t->pane_title(), "pwned");

    // Search, in any case, by text; then by title; then without a match.
    t->keys({"/"});
    t->type("pRINTER");
    ASSERT_TRUE(t->wait_for("[ pRINTER")) << t->screen();
    std::string screen = t->screen();
    EXPECT_EQ(screen.substr(screen.find("│         ┌"), screen.find("│    7") - screen.find("│         ┌")),
              row(80, "        ┌─ Search ─────────────────────────────────────────────────┐") +
                  row(80, "        │                                                          │") +
                  row(80, "        │  Show only the messages containing:                      │") +
                  row(80, "        │                                                          │") +
                  row(80, "        │  [ pRINTER  ]                                            │") +
                  row(80, "        │                                                          │") +
                  row(80, "        │                                                          │") +
                  row(80, "        └──────────────────────────────────────────────────────────┘") +
                  row(80, "   8  07/12 09:38  Plain message 8.                    ████████████  1/1"));
    EXPECT_NE(screen.find(bottom(80, "Enter confirm   Esc cancel")), std::string::npos);
    t->keys({"Enter"});
    ASSERT_TRUE(t->wait_for("search: «pRINTER» (Esc to clear)")) << t->screen();
    EXPECT_EQ(body_row(*t, 2) + body_row(*t, 3),
              padded(80, "> 17  07/12 09:47  Printer on floor 2 is out of order.  ███████████░  99/100") +
                  padded(80, ""));
    t->keys({"/", "BSpace", "BSpace", "BSpace", "BSpace", "BSpace", "BSpace", "BSpace"});
    t->type("EVIL");
    t->keys({"Enter"});
    ASSERT_TRUE(t->wait_for("search: «EVIL»")) << t->screen();
    EXPECT_EQ(body_row(*t, 2).substr(0, 38) + body_row(*t, 3),
              "> 19  07/12 09:49  [revoked] [expired]" + padded(80, ""));
    t->keys({"/"});
    t->type(" at all");
    t->keys({"Enter"});
    ASSERT_TRUE(t->wait_for("No message contains the search text.")) << t->screen();
    EXPECT_NE(t->screen().find("search: «EVIL at all» (Esc to clear)"), std::string::npos);
    t->keys({"Escape"});
    ASSERT_TRUE(t->wait_gone("search:")) << t->screen();

    // The selection moves and the list scrolls with it.
    t->keys({"Up"}); // already at the top
    for (int i = 0; i < 17; i++)
        t->keys({"Down"});
    ASSERT_TRUE(t->wait_for("│ >  3  07/12 09:33")) << t->screen();
    EXPECT_EQ(body_row(*t, 2).substr(0, 5) + body_row(*t, 18).substr(0, 5), "  19 >  3 ");
    t->keys({"PPage"});
    ASSERT_TRUE(t->wait_for("│ > 20")) << t->screen(); // 17 up from the 18th
    t->keys({"NPage", "NPage"});
    ASSERT_TRUE(t->wait_for("│ >  1")) << t->screen(); // past the end: the last row
    EXPECT_EQ(body_row(*t, 2).substr(0, 5), "  17 ");
    t->keys({"Down", "Home"});
    ASSERT_TRUE(t->wait_for("│ > 20")) << t->screen();

    // Wide: the counts in words, the key legend spread out, and in colour
    // the selected row one highlighted run.
    t->resize(120, 40);
    ASSERT_TRUE(t->wait_for("Plain message 1.")) << t->screen();
    std::string wide = masked(t->screen());
    EXPECT_EQ(wide.substr(0, wide.find("│   16")),
              top(120) + row(120, "") +
                  row(120, "  ID  DATE         MESSAGE                                  RECIPIENTS") +
                  row(120, "> 20  07/12 09:50  Reboot at 18:00.                         ░░░░░░░░░░░░  2 sent") +
                  row(120, "  19  07/12 09:49  [revoked] [expired] Evil · Red text      ▒▒▒▒▒▒▒▒▒▒▒▒  1 delivered") +
                  row(120, "  18  07/12 09:48  VPN · The VPN certificate changes on Mo  ██████████▒░  "
                           "100 confirmed · 1 delivered · 1 sent") +
                  row(120, "  17  07/12 09:47  Printer on floor 2 is out of order.      ███████████░  "
                           "99 confirmed · 1 sent"));
    EXPECT_NE(wide.find(row(120, "Enter open   n new   r revoke   m remind   p purge   / search   ? keys   q quit")),
              std::string::npos)
        << wide;
    EXPECT_NE(t->screen(true).find("\x1b[1;7m> 20  07/12 09:50  Reboot at 18:00."), std::string::npos)
        << t->screen(true);

    // The selected message is deleted elsewhere: at the next timed reload the
    // selection moves to the new last row.
    t->keys({"End"});
    ASSERT_TRUE(t->wait_for("│ >  1")) << t->screen();
    run_program({"rm", "-rf", s.sent(1, "")});
    EXPECT_TRUE(t->wait_for("│ >  2  07/12 09:32", 5000)) << t->screen();
    quit(*t);
}

TEST_F(interactive_fixture, TheSmallestScreenWithoutColourAndEveryWayOut)
{
    twenty_messages();
    auto t = start(80, 20, {"NO_COLOR="}, "", "smallest");
    ASSERT_TRUE(t->wait_for("Plain message 8.")) << t->screen();
    ASSERT_TRUE(settled(*t)) << t->screen();
    // 13 rows of messages.
    EXPECT_EQ(body_row(*t, 14), padded(80, "   8  07/12 09:38  Plain message 8.                    ████████████  1/1"));

    t->keys({"?"});
    ASSERT_TRUE(t->wait_for("─ Keys ")) << t->screen();
    std::string keys_screen = masked(t->screen());
    EXPECT_EQ(keys_screen.substr(keys_screen.find('\n') + 1),
              row(80, "    ┌─ Keys ───────────────────────────────────────────────────────────┐") +
                  row(80, "    │                                                                  │") +
                  row(80, "    │  ↑ ↓ PgUp PgDn   move through the list, Home/End to its ends     │") +
                  row(80, "    │  Enter           open the message: recipients, history and text  │") +
                  row(80, "    │  n               write and send a new message                    │") +
                  row(80, "    │  r               revoke the selected message                     │") +
                  row(80, "    │  m               remind whoever has not confirmed                │") +
                  row(80, "    │  p               delete old messages                             │") +
                  row(80, "    │  /               search by text or title; Esc shows all again    │") +
                  row(80, "    │  q               quit                                            │") +
                  row(80, "    │                                                                  │") +
                  row(80, "    │  The list updates by itself every 3 seconds.                     │") +
                  row(80, "    │  The complete guide: kelv --help.                                │") +
                  row(80, "    │                                                                  │") +
                  row(80, "    │  any key to continue                                             │") +
                  row(80, "    └──────────────────────────────────────────────────────────────────┘") +
                  bottom(80, "any key to continue"));
    // No colour at all: not one style in the emulator's cells.
    EXPECT_EQ(t->screen(true).find("\x1b["), std::string::npos) << t->screen(true);
    t->keys({"x"});
    ASSERT_TRUE(t->wait_gone("─ Keys ")) << t->screen();
    // Scrolled to the end, a taller screen brings the rows above back into
    // view rather than blank lines below the last.
    t->keys({"End"});
    ASSERT_TRUE(t->wait_for(">  1  07/12")) << t->screen();
    t->resize(80, 24);
    ASSERT_TRUE(t->wait_for("Printer on floor 2")) << t->screen();
    EXPECT_EQ(body_row(*t, 18), padded(80, ">  1  07/12 09:31  Plain message 1.                    ████████████  1/1"));
    // A row short of the least, the list waits; q still leaves.
    t->resize(80, 19);
    ASSERT_TRUE(t->wait_for("Enlarge it to go on.")) << t->screen();
    EXPECT_EQ(t->screen(), waiting(80, 19, "Kelvora · sent messages", "q quit"));
    t->keys({"q"});
    expect_ended_with_terminal_back(*t, 0, "smallest");

    // Too narrow to start: kelv shows what kelv help shows, the terminal
    // untouched, and once the guide has ended it says why.
    auto narrow = start(79, 24, {}, "", "narrow");
    auto help = start(79, 24, {}, " help", "help");
    ASSERT_TRUE(help->wait_for("lines 1-18/26")) << help->screen();
    ASSERT_TRUE(narrow->wait_for("lines 1-18/26")) << narrow->screen();
    EXPECT_EQ(narrow->screen(), help->screen());
    // The guide left with the quit key (Ctrl+\\), whose default action would
    // leave the terminal raw.
    narrow->keys({"C-\\"});
    help->keys({"q"});
    expect_ended_with_terminal_back(*help, 0, "help");
    expect_ended_with_terminal_back(*narrow, 0, "narrow");
    EXPECT_TRUE(narrow->screen().starts_with("kelv: the terminal is 79×24; the interface needs at least 80×20\n"
                                             "[kelv ended: 0]\n"))
        << narrow->screen();
    EXPECT_EQ(help->screen().find("kelv:"), std::string::npos) << help->screen();

    // SIGTERM while a confirm dialog waits: nothing is revoked.
    auto termed = start(80, 24, {}, "", "termed");
    ASSERT_TRUE(termed->wait_for("Plain message 4.")) << termed->screen();
    termed->keys({"r"});
    ASSERT_TRUE(termed->wait_for("─ Revoke message 20? ")) << termed->screen();
    pid_t kelv = first_child(termed->pane_pid());
    ASSERT_GT(kelv, 0);
    kill(kelv, SIGTERM);
    expect_ended_with_terminal_back(*termed, 0, "termed");
    EXPECT_FALSE(exists(s.sent(20, "revoked")));

    // The interrupt key, from a dialog.
    auto interrupted = start(80, 24, {}, "", "interrupted");
    ASSERT_TRUE(interrupted->wait_for("Plain message 4.")) << interrupted->screen();
    interrupted->keys({"?"});
    ASSERT_TRUE(interrupted->wait_for("─ Keys ")) << interrupted->screen();
    interrupted->keys({"C-c"});
    expect_ended_with_terminal_back(*interrupted, 0, "interrupted");

    // The quit key, from the list.
    auto quitted = start(80, 24, {}, "", "quitted");
    ASSERT_TRUE(quitted->wait_for("Plain message 4.")) << quitted->screen();
    quitted->keys({"C-\\"});
    expect_ended_with_terminal_back(*quitted, 0, "quitted");
}


TEST_F(interactive_fixture, EveryScreenWaitsForTheTerminalToGrowAndComesBackAsItWas)
{
    twenty_messages();
    auto t = start(80, 24);
    ASSERT_TRUE(t->wait_for("Plain message 4.")) << t->screen();
    ASSERT_TRUE(settled(*t)) << t->screen();
    for (int i = 0; i < 18; i++)
        t->keys({"Down"});
    ASSERT_TRUE(t->wait_for("│ >  2  07/12")) << t->screen();
    std::string list = masked(t->screen());

    // The list: no key but q acts while it waits, and it comes back with
    // the same rows and the same one selected.
    t->resize(70, 18);
    ASSERT_TRUE(t->wait_for("Enlarge it to go on.")) << t->screen();
    EXPECT_EQ(t->screen(), waiting(70, 18, "Kelvora · sent messages", "q quit"));
    t->keys({"Home", "Enter", "n", "r", "m", "/", "Escape"});
    t->resize(80, 24);
    ASSERT_TRUE(t->wait_for("│ >  2  07/12")) << t->screen();
    EXPECT_EQ(masked(t->screen()), list);

    // A message's view, on its text scrolled by a row: Esc and q still go
    // back, to a list that waits in its turn.
    t->keys({"Home", "Enter"});
    ASSERT_TRUE(t->wait_for("─ Message 20 ")) << t->screen();
    ASSERT_TRUE(settled(*t)) << t->screen();
    t->keys({"BTab", "Down"});
    ASSERT_TRUE(t->wait_for("│  │ Save your work.")) << t->screen();
    std::string view = masked(t->screen());
    t->resize(70, 18);
    ASSERT_TRUE(t->wait_for("Enlarge it to go on.")) << t->screen();
    EXPECT_EQ(t->screen(), waiting(70, 18, "Message 20", "Esc back"));
    t->keys({"Tab", "Up", "r"});
    t->resize(80, 24);
    ASSERT_TRUE(t->wait_for("─ Message 20 ")) << t->screen();
    ASSERT_TRUE(t->wait_for("│  │ Save your work.")) << t->screen();
    EXPECT_EQ(masked(t->screen()), view);
    t->resize(70, 18);
    ASSERT_TRUE(t->wait_for("Enlarge it to go on.")) << t->screen();
    t->keys({"q"});
    ASSERT_TRUE(t->wait_for("─ Kelvora · sent messages ")) << t->screen();
    EXPECT_EQ(t->screen(), waiting(70, 18, "Kelvora · sent messages", "q quit"));

    // Too small for even the borders, what the screen says, as it fits.
    t->resize(30, 4);
    ASSERT_TRUE(t->wait_for(" to go on.")) << t->screen();
    EXPECT_EQ(t->screen(), " The terminal is smaller\n than 80×20. Enlarge it\n to go on.\n\n");
    t->resize(80, 24);
    ASSERT_TRUE(t->wait_for("│ > 20  07/12")) << t->screen();
    EXPECT_EQ(misdrawn(*t, 80, 24), "") << t->screen();
    quit(*t);
}

TEST_F(interactive_fixture, RevokeRemindAndPurgeChangeTheStoreAndAFailureIsShown)
{
    twenty_messages();
    put_marker(s, b, 18, "term", now() - 60);
    auto t = start(80, 24);
    ASSERT_TRUE(t->wait_for("Plain message 4.")) << t->screen();
    ASSERT_TRUE(settled(*t)) << t->screen();

    // A key that cannot act says why in the footer, over the same screen,
    // for a few seconds; a second one says why in its turn.
    auto refused = [&t](const std::string &key, const std::string &note) {
        std::string before = masked(t->screen());
        t->keys({key});
        ASSERT_TRUE(t->wait_for(note)) << t->screen();
        EXPECT_EQ(masked(t->screen()), with_footer(before, 80, note));
    };
    refused("m", "Message 20: nobody to remind until it is delivered.");

    t->keys({"r"});
    ASSERT_TRUE(t->wait_for("─ Revoke message 20? ")) << t->screen();
    std::string screen = t->screen();
    EXPECT_EQ(screen.substr(screen.find("│   18"), screen.find("│    7") - screen.find("│   18")),
              row(80, "  18  07/12 09:48  VPN · The VPN certificate changes   ██████████▒░  100/102") +
                  row(80, "        ┌─ Revoke message 20? ─────────────────────────────────────┐") +
                  row(80, "        │                                                          │") +
                  row(80, "        │  «no title» · 2 sent                                     │") +
                  row(80, "        │                                                          │") +
                  row(80, "        │  Whoever has not seen it yet will not see it;            │") +
                  row(80, "        │  open dialogs and questions close by themselves.         │") +
                  row(80, "        │                                                          │") +
                  row(80, "        │   y  Confirm       n  Cancel                             │") +
                  row(80, "        └──────────────────────────────────────────────────────────┘") +
                  row(80, "   8  07/12 09:38  Plain message 8.                    ████████████  1/1"));
    EXPECT_NE(screen.find(bottom(80, "y confirm   n or Esc cancel")), std::string::npos);
    t->keys({"Enter"}); // not an answer
    t->keys({"y"});
    ASSERT_TRUE(t->wait_for("│  Message 20 revoked.")) << t->screen();
    EXPECT_NE(s.kelv({"status", "20"}).out.find("REVOKED on"), std::string::npos);
    t->keys({"x"});
    ASSERT_TRUE(t->wait_for("> 20  07/12 09:50  [revoked] Reboot")) << t->screen();
    // A revoked message is neither revoked again nor reminded.
    refused("r", "Message 20 has already been revoked.");
    std::string legend = masked(t->screen());
    refused("m", "Message 20 has been revoked: nobody to remind.");
    ASSERT_TRUE(t->wait_gone("Message 20 has been revoked", 8000)) << t->screen();
    EXPECT_EQ(masked(t->screen()), with_footer(legend, 80, "Enter open  n new  r revoke  m remind  p purge  / search  ? keys  q quit"));

    // Message 15: everyone confirmed, nobody to remind.
    for (int i = 0; i < 5; i++)
        t->keys({"Down"});
    ASSERT_TRUE(t->wait_for("> 15")) << t->screen();
    refused("m", "Message 15: everyone has already confirmed, nobody to remind.");
    EXPECT_EQ(t->screen().find("Remind message"), std::string::npos);
    t->keys({"Up", "Up", "Up", "m"});
    ASSERT_TRUE(t->wait_for("─ Remind message 18? ")) << t->screen();
    EXPECT_TRUE(t->wait_for("│  1 recipient has not confirmed yet.")) << t->screen();
    t->keys({"Y"});
    ASSERT_TRUE(t->wait_for("│  Message 18: 1 recipient reminded.")) << t->screen();
    EXPECT_FALSE(exists(s.mailbox(b, "state/18.term")));
    t->keys({"x"});

    // Revoked by another administrator while the question waits: the error
    // is shown as the command gave it, and the list goes on.
    t->keys({"Down", "Down", "m"});
    ASSERT_TRUE(t->wait_for("─ Remind message 16? ")) << t->screen();
    ASSERT_EQ(s.kelv({"revoke", "16"}).status, 0);
    t->keys({"y"});
    ASSERT_TRUE(t->wait_for("│  kelv: message 16 has been revoked: nobody to remind")) << t->screen();
    EXPECT_EQ(t->screen().find("Done."), std::string::npos);
    t->keys({"x"});
    ASSERT_TRUE(t->wait_for("> 16  07/12 09:46  [revoked] Quota")) << t->screen();

    t->keys({"p"});
    ASSERT_TRUE(t->wait_for("[ 90d")) << t->screen();
    t->keys({"Enter"});
    ASSERT_TRUE(t->wait_for("│  Messages older than 90d, with copies and confirmations.")) << t->screen();
    t->keys({"y"});
    ASSERT_TRUE(t->wait_for("│  Deleted 20 messages older than 90d.")) << t->screen();
    t->keys({"x"});
    ASSERT_TRUE(t->wait_for("│    No messages sent.")) << t->screen();
    for (const std::string &name : list_dir(s.path("sent")))
        EXPECT_EQ(name[0], '.') << name;
    quit(*t);
}

// Every name, mode, size, time and content under sent/ and users/.
std::string store_state(const test_store &s)
{
    run_options o;
    o.cwd = s.dir.path;
    return run_program({"sh", "-c",
                        "find sent users -printf '%p %m %s %T@\\n' | sort && "
                        "find sent users -type f -exec md5sum {} + | sort"},
                       o)
        .out;
}

// The answers that decline, on each dialog that changes the store: the store
// stays exactly as it was.
TEST_F(interactive_fixture, NoAndEscOnRevokeRemindAndPurgeLeaveTheStoreAsItWas)
{
    twenty_messages();
    put_marker(s, b, 18, "term", now() - 60);
    auto t = start(80, 24);
    ASSERT_TRUE(t->wait_for("Plain message 4.")) << t->screen();
    t->keys({"Down", "Down"});
    ASSERT_TRUE(t->wait_for("│ > 18")) << t->screen();
    const std::string before = store_state(s);
    // What remind would take away is part of what is compared.
    ASSERT_NE(before.find("\nusers/bin/state/18.term "), std::string::npos) << before;

    struct dialog {
        std::vector<std::string> keys;
        std::string title;
    };
    for (const dialog &d : {dialog{{"r"}, "─ Revoke message 18? "}, dialog{{"m"}, "─ Remind message 18? "},
                            dialog{{"p", "Enter"}, "─ Delete old messages? "}}) {
        for (const char *answer : {"n", "Escape"}) {
            t->keys(d.keys);
            ASSERT_TRUE(t->wait_for(d.title)) << t->screen();
            t->keys({answer});
            EXPECT_TRUE(t->wait_gone(d.title)) << d.title << answer << "\n" << t->screen();
            ASSERT_EQ(store_state(s), before) << d.title << answer;
            ASSERT_TRUE(t->wait_for("│ > 18")) << t->screen();
        }
    }
    quit(*t);
}

// A fatal error while the interface is open ends kelv through exit(), as
// die() does: the terminal still goes back as it was, settings and screen.
// Here memory runs out: the running kelv may map no more than it has, and
// the next reload needs more for the messages sent meanwhile.
TEST_F(interactive_fixture, AFatalErrorGivesTheTerminalBack)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer's own allocator ends the process when memory runs out";
#endif
    message(1, 0, 1, 0, "Fresh news.\n");
    auto t = start(80, 24);
    ASSERT_TRUE(t->wait_for("Fresh news.")) << t->screen();
    pid_t kelv = first_child(t->pane_pid());
    ASSERT_GT(kelv, 0);
    long pages = 0;
    ASSERT_EQ(sscanf(read_text("/proc/" + std::to_string(kelv) + "/statm").c_str(), "%ld", &pages), 1);
    struct rlimit limit;
    ASSERT_EQ(prlimit(kelv, RLIMIT_AS, nullptr, &limit), 0);
    limit.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
    ASSERT_EQ(prlimit(kelv, RLIMIT_AS, &limit, nullptr), 0);
    for (long long n = 2; n <= 40; n++)
        message(n, 0, 1, 0, std::string(60000, 'x') + "\n");

    ASSERT_TRUE(t->wait_for("kelv: out of memory", 10000)) << t->screen();
    expect_ended_with_terminal_back(*t, 1);
    EXPECT_EQ(t->format("#{alternate_on}"), "0");
    EXPECT_EQ(t->format("#{cursor_flag}"), "1");
}

TEST_F(interactive_fixture, ChangesBetweenTwoTimedReloadsShowOnTheNextAsAFreshKelvShowsThem)
{
    for (long long n = 1; n <= 3; n++) {
        make_record(s, n, dec7 + n * 60, {a, s.me}, "Message " + std::to_string(n) + ".\n");
        add_delivery(s, n, a);
        add_delivery(s, n, s.me);
        write_confirmation(s, a, n, std::to_string(dec7 + n * 60 + 5) + " desktop\n");
        put_copy(s, s.me, n);
    }
    put_marker(s, s.me, 2, "term", dec7 + 200);
    auto t = start(120, 24);
    ASSERT_TRUE(t->wait_for("Message 1.")) << t->screen();
    ASSERT_TRUE(settled(*t)) << t->screen();
    std::string first = t->screen().substr(0, t->screen().find('\n'));
    ASSERT_TRUE(t->wait_gone(first, 8000)) << t->screen(); // a timed reload

    // A confirmation through the helper, as the prompt makes it, a
    // postponement touching the marker again, and a revocation; then the
    // next timed reload.
    run_options helper;
    helper.env = {"KELV_TEST=1", "KELV_VAR=" + s.dir.path};
    ASSERT_EQ(run_program({kelvora_user_path(), "confirm", "1", "terminal pts/9"}, helper).status, 0);
    int64_t postponed_at = now() - 60;
    set_mtime(s.mailbox(s.me, "state/2.term"), postponed_at);
    ASSERT_EQ(s.kelv({"revoke", "3"}).status, 0);
    ASSERT_TRUE(t->wait_for("all confirmed (2)", 8000)) << t->screen();
    ASSERT_TRUE(t->wait_for("[revoked]", 1000)) << t->screen();
    EXPECT_EQ(body_row(*t, 2) + body_row(*t, 3) + body_row(*t, 4),
              padded(120, ">  3  07/12 09:33  [revoked] Message 3.                     ██████▒▒▒▒▒▒  "
                          "1 confirmed · 1 delivered") +
                  padded(120, "   2  07/12 09:32  Message 2.                               ██████▒▒▒▒▒▒  "
                              "1 confirmed · 1 delivered") +
                  padded(120, "   1  07/12 09:31  Message 1.                               ████████████  "
                              "all confirmed (2)"));
    // The postponement, in message 2's recipients, as kelv status has it.
    char when[32];
    format_time(postponed_at, when);
    std::string postponed = "delivered, written to 1 terminal, postponed on " + std::string(when);
    EXPECT_NE(s.kelv({"status", "2"}).out.find(postponed), std::string::npos);
    t->keys({"Down", "Enter"});
    ASSERT_TRUE(t->wait_for("─ Message 2 ")) << t->screen();
    EXPECT_TRUE(t->wait_for(row(120, " " + (s.me + std::string(13, ' ')).substr(0, 13) + " " + postponed)))
        << t->screen();
    t->keys({"q"});
    quit(*t);
}

TEST_F(interactive_fixture, SuspendedItGivesTheTerminalBackUntilItContinues)
{
    message(1, 0, 1, 0, "Fresh news.\n");
    // An interactive shell with job control, as the administrator has.
    tmux_session t(80, 24, "exec env -i PATH=/usr/bin:/bin HOME=" + s.dir.path + " PS1='P> ' bash --norc -i");
    ASSERT_TRUE(t.wait_for("P>")) << t.screen();
    std::string before = shell_stty(t, s.dir.path);
    ASSERT_NE(before, "");
    t.type("KELV_TEST=1 KELV_VAR=" + s.dir.path + " KELV_TEST_TTY=" + s.tty + " " + kelv_path());
    t.keys({"Enter"});
    ASSERT_TRUE(t.wait_for("Fresh news.")) << t.screen();
    t.keys({"C-z"});
    ASSERT_TRUE(t.wait_for("Stopped")) << t.screen();
    EXPECT_EQ(shell_stty(t, s.dir.path), before);
    t.type("fg");
    t.keys({"Enter"});
    ASSERT_TRUE(t.wait_for("Fresh news.")) << t.screen();
    t.keys({"q"});
    ASSERT_TRUE(t.wait_gone("Fresh news.")) << t.screen();
    EXPECT_EQ(shell_stty(t, s.dir.path), before);
}

TEST_F(interactive_fixture, WideTextInTheListADialogAndTheView)
{
    // An emoji in a title; a title, a text and a recipient's channel in
    // Japanese, each character two columns wide.
    std::string title = "サーバー保守作業のお知らせ"; // 26 columns
    std::string first = "本日二十二時よりサーバーの定期保守作業を行います。作業中はログインできません。";
    message(1, 1, 0, 0, "All backups finished.\n", "Done ✅");
    message(2, 1, 1, 0, first + "\nご協力をお願いします。\n", title);
    write_confirmation(s, a, 2, std::to_string(dec7 + 125) + " terminal 端末三番のワークステーション上の窓\n");
    auto t = start(80, 24);
    ASSERT_TRUE(t->wait_for("All backups finished.")) << t->screen();
    ASSERT_TRUE(settled(*t)) << t->screen();
    // The message cell keeps its 36 columns: the fourth character of the
    // text would stand across its edge and leaves a blank instead.
    std::string empty_rows;
    for (int i = 0; i < 15; i++)
        empty_rows += row(80, "");
    EXPECT_EQ(masked(t->screen()),
              top(80) + row(80, "") + row(80, "  ID  DATE         MESSAGE                               RECIPIENTS") +
                  row(80, ">  2  07/12 09:32  " + title + " · 本日二   ██████▒▒▒▒▒▒  1/2") +
                  row(80, "   1  07/12 09:31  Done ✅ · All backups finished.       ████████████  1/1") + empty_rows +
                  row(80, "█ confirmed   ▒ delivered   ░ sent") +
                  bottom(80, "Enter open  n new  r revoke  m remind  p purge  / search  ? keys  q quit"));
    EXPECT_EQ(misdrawn(*t, 80, 24), "") << t->screen();

    // A dialog as wide as its widest line, measured in columns: 56 and 6.
    t->keys({"r"});
    ASSERT_TRUE(t->wait_for("─ Revoke message 2? ")) << t->screen();
    EXPECT_TRUE(t->wait_for(row(80, "       │  «" + title + "» · 1 confirmed · 1 delivered  │"))) << t->screen();
    EXPECT_EQ(misdrawn(*t, 80, 24), "") << t->screen();
    t->keys({"n"});
    ASSERT_TRUE(t->wait_gone("─ Revoke message 2? ")) << t->screen();

    // The view: the first line of the text wraps after its 36th character,
    // exactly 72 columns; the channel is cut at 32 columns, "…" included.
    t->keys({"Enter"});
    ASSERT_TRUE(t->wait_for("─ Message 2 · ")) << t->screen();
    ASSERT_TRUE(settled(*t)) << t->screen();
    std::string rest;
    for (int i = 0; i < 10; i++)
        rest += row(80, "");
    EXPECT_EQ(masked(t->screen()),
              top(80, "Message 2 · " + title) + row(80, " " + title + " · 07/12 09:32 · from root") +
                  row(80, " │ " + first.substr(0, 36 * 3)) + row(80, " │ " + first.substr(36 * 3)) +
                  row(80, " │ ご協力をお願いします。") + row(80, "") +
                  row(80, "  Recipients (2)   History   Text   ██████▒▒▒▒▒▒  1 confirmed · 1 delivered") + row(80, "") +
                  row(80, " USER          STATE") +
                  row(80, " daemon        confirmed on 07/12 09:32 (terminal 端末三番のワークステー…)") +
                  row(80, " bin           delivered, written to 1 terminal") + rest +
                  bottom(80, "Tab recipients/history/text   ↑/↓ scroll   m remind   r revoke   Esc back"));
    EXPECT_EQ(misdrawn(*t, 80, 24), "") << t->screen();
    t->keys({"Escape"});
    ASSERT_TRUE(t->wait_for("─ Kelvora · sent messages ")) << t->screen();
    quit(*t);
}
