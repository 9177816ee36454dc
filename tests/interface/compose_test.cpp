// The compose form in a real terminal emulator, in test mode: a message
// written with the form's keys, sent, found at the top of the list, opened
// and revoked from its view; send's refusals over the form, which keeps what
// it holds; long lines; and the form's ways out.
#include "interactive_fixture.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <pwd.h>
#include <regex>

namespace {

// The dates of messages sent now, masked.
std::string undated(const std::string &screen)
{
    return std::regex_replace(masked(screen), std::regex("\\d\\d/\\d\\d \\d\\d:\\d\\d"), "dd/mm hh:mm");
}

// A one-line field's text as an 80-column form shows it.
std::string cell(const std::string &text) { return text + std::string(36 - columns(text), ' '); }

// A row of the form's text box, 80 columns wide.
std::string box_row(const std::string &text) { return row(80, "            │ " + padded(64, text) + " │"); }

} // namespace

TEST_F(interactive_fixture, AMessageWrittenInTheFormIsSentOpenedAndRevoked)
{
    auto t = start(80, 24);
    open_form(*t);
    t->type(s.me);
    t->keys({"Tab"});
    t->type("Grüße aus Zürich");
    t->keys({"Down"});
    t->type("2d");
    t->keys({"Enter"});
    t->type("Wartung heute.");
    t->keys({"Enter"});
    t->type("Bitte speichern!");
    t->keys({"BSpace"});
    t->type(".");
    t->keys({"Home", "BSpace"}); // joins the lines: "Wartung heute.Bitte speichern."
    t->keys({"Enter", "Up", "End", "Left"});
    t->type(" um 18 Uhr"); // "Wartung heute um 18 Uhr."
    t->keys({"End", "Delete"});
    t->type(" "); // joined again, with a blank
    t->keys({"End", "Enter"});
    t->type("Danke – ß");
    t->keys({"BSpace", "BSpace", "BSpace", "BSpace", "Left", "Right", "Right"});
    t->type("—");
    ASSERT_TRUE(t->wait_for("│ Danke—")) << t->screen();
    EXPECT_EQ(t->screen(), "┌─ New message " + repeat("─", 64) + "┐\n" + row(80, "") +
                               row(80, " To         [ " + cell(s.me) + " ]  1 recipient") +
                               row(80, " Title      [ " + cell("Grüße aus Zürich") + " ]  optional, one line") +
                               row(80, " Expires    [ " + cell("2d") + " ]  optional: 30m, 2h, 3d") +
                               row(80, " Text       ┌" + repeat("─", 62) + "┐") +
                               box_row("Wartung heute um 18 Uhr. Bitte speichern.") + box_row("Danke—") +
                               box_row("") + box_row("") + box_row("") + box_row("") + box_row("") + box_row("") +
                               box_row("") + box_row("") + row(80, "            └" + repeat("─", 62) + "┘") +
                               row(80, "            50 of 65536 bytes") + row(80, "") + row(80, "") + row(80, "") +
                               bottom(80, "Tab next field   Ctrl+E open in the editor   Ctrl+S send   Esc cancel"));
    // The cursor stands after the dash, on the text's second line.
    EXPECT_EQ(cursor_at(*t, "22,7"), "22,7");

    // The confirmation shows the time that "2d" comes to, and so does the
    // result, as kelv send prints it.
    t->keys({"C-s"});
    ASSERT_TRUE(t->wait_for("─ Send the message? ")) << t->screen();
    std::string dialog = undated(t->screen());
    EXPECT_NE(dialog.find("│  Expires: 2d (dd/mm hh:mm) "), std::string::npos) << dialog;
    EXPECT_NE(dialog.find("│  To: " + s.me + " (1 recipient) "), std::string::npos) << dialog;
    EXPECT_NE(dialog.find("│  Text: 50 bytes "), std::string::npos) << dialog;
    int64_t sent_at = now();
    t->keys({"y"});
    ASSERT_TRUE(t->wait_for("│  Message 1 sent to 1 user. Expires on ")) << t->screen();
    EXPECT_NE(undated(t->screen()).find("│  Message 1 sent to 1 user. Expires on dd/mm hh:mm. "), std::string::npos)
        << t->screen();
    t->keys({"x"});
    ASSERT_TRUE(t->wait_for("│ >  1  ")) << t->screen();
    EXPECT_NE(undated(t->screen()).find("│ >  1  dd/mm hh:mm  Grüße aus Zürich · Wartung heute um   ▒▒▒▒▒▒▒▒▒▒▒▒  0/1"),
              std::string::npos)
        << t->screen();

    // Exactly what was typed, and the expiry two days on.
    struct message m;
    ASSERT_EQ(message_read(s.sent(1, "msg").c_str(), m), 0);
    EXPECT_STREQ(m.title, "Grüße aus Zürich");
    EXPECT_STREQ(m.text, "Wartung heute um 18 Uhr. Bitte speichern.\nDanke—\n");
    EXPECT_GE(m.expires, sent_at + 2 * 86400 - 1);
    EXPECT_LE(m.expires, now() + 2 * 86400);

    // Its view: heading, text, recipients; the history pane and back.
    const char *sudo_user = getenv("SUDO_USER");
    std::string author = sudo_user && *sudo_user && getpwnam(sudo_user) ? sudo_user : s.me;
    t->keys({"Enter"});
    ASSERT_TRUE(t->wait_for("─ Message 1 · Grüße aus Zürich ")) << t->screen();
    std::string view = undated(t->screen());
    std::string recipients = row(80, " USER          STATE") +
                             row(80, " " + (s.me + std::string(13, ' ')).substr(0, 13) + " delivered, written to 1 terminal");
    EXPECT_EQ(view.substr(0, view.find(row(80, "") + row(80, "") + row(80, "") + row(80, ""))),
              top(80, "Message 1 · Grüße aus Zürich") +
                  row(80, " Grüße aus Zürich · dd/mm hh:mm · from " + author + " · expires on dd/mm hh:mm") +
                  row(80, " │ Wartung heute um 18 Uhr. Bitte speichern.") + row(80, " │ Danke—") + row(80, "") +
                  row(80, "  Recipients (1)   History   Text   ▒▒▒▒▒▒▒▒▒▒▒▒  1 delivered") + row(80, "") + recipients);
    t->keys({"Tab"});
    ASSERT_TRUE(t->wait_gone("USER          STATE")) << t->screen();
    EXPECT_NE(t->screen(true).find("\x1b[1;7m History "), std::string::npos) << t->screen(true);
    t->keys({"BTab"});
    ASSERT_TRUE(t->wait_for(recipients)) << t->screen();

    // Revoked from the view: the view shows it at once, and "q" goes back to
    // the list, which shows it too.
    t->keys({"r"});
    ASSERT_TRUE(t->wait_for("│  «Grüße aus Zürich» · 1 delivered")) << t->screen();
    t->keys({"y"});
    ASSERT_TRUE(t->wait_for("│  Message 1 revoked.")) << t->screen();
    t->keys({"x"});
    ASSERT_TRUE(t->wait_for(" delivered, not confirmed (revoked)")) << t->screen();
    t->resize(120, 24); // room for the whole heading
    ASSERT_TRUE(t->wait_for(" · revoked on ")) << t->screen();
    EXPECT_NE(undated(t->screen()).find(" · expires on dd/mm hh:mm · revoked on dd/mm hh:mm"), std::string::npos)
        << t->screen();
    t->keys({"q"});
    ASSERT_TRUE(t->wait_for("│ >  1  ")) << t->screen();
    EXPECT_TRUE(t->wait_for("[revoked] Grüße aus Zürich · Wartung")) << t->screen();
    quit(*t);
}

TEST_F(interactive_fixture, TheFormsKeysRefusalsAndWaysOut)
{
    auto t = start(80, 24);
    // A fresh form closes on Esc without a question.
    open_form(*t);
    t->keys({"Escape"});
    ASSERT_TRUE(t->wait_for("No messages sent.")) << t->screen();

    // Tab goes round the four fields, Shift+Tab from To to the text, Up
    // from the text's first line to Expires, at the end of what it holds.
    // Nobody of that name: the note says so, in red.
    open_form(*t);
    t->type("x");
    t->keys({"Tab", "Tab", "Tab", "Tab"});
    ASSERT_TRUE(t->wait_for("]  kelv: no such user: x")) << t->screen();
    EXPECT_NE(t->screen(true).find("\x1b[31mkelv: no such user: x"), std::string::npos) << t->screen(true);
    EXPECT_EQ(cursor_at(*t, "17,2"), "17,2");
    t->keys({"Left", "BTab"});
    t->type("text");
    t->keys({"Up"});
    t->type("1h");
    ASSERT_TRUE(t->wait_for("[ 1h ")) << t->screen();
    EXPECT_EQ(cursor_at(*t, "18,4"), "18,4");
    EXPECT_TRUE(t->wait_for("│ text ")) << t->screen();

    // Smaller than the interface's least, the form waits with what it holds
    // and goes on when the terminal grows again.
    std::string form = t->screen();
    t->resize(70, 18);
    ASSERT_TRUE(t->wait_for("The terminal is smaller than 80×20.")) << t->screen();
    EXPECT_EQ(t->screen(), waiting(70, 18, "New message", "Esc cancel"));
    t->type("ignored");
    t->resize(80, 24);
    ASSERT_TRUE(t->wait_for("[ 1h ")) << t->screen();
    EXPECT_EQ(t->screen(), form);

    // send's own refusals, each over the form, which keeps what it holds.
    t->keys({"C-s"});
    ASSERT_TRUE(t->wait_for("│  To: x (kelv: no such user: x)")) << t->screen();
    t->keys({"y"});
    ASSERT_TRUE(t->wait_for("│  kelv: no such user: x ")) << t->screen();
    t->keys({"x", "BSpace", "BSpace"});
    t->type("whenever");
    t->keys({"C-s"});
    ASSERT_TRUE(t->wait_for("│  Expires: whenever (kelv: invalid expiry: whenever) ")) << t->screen();
    t->keys({"y"});
    ASSERT_TRUE(t->wait_for("│  kelv: invalid expiry: whenever ")) << t->screen();
    t->keys({"x"});
    ASSERT_TRUE(t->wait_gone("─ Sending result ")) << t->screen();
    EXPECT_TRUE(t->wait_for("│ text ")) << t->screen();
    EXPECT_EQ(list_dir(s.path("sent")).size(), 0u);

    // Something typed: Esc asks first; declined, everything stays.
    t->keys({"Escape"});
    ASSERT_TRUE(t->wait_for("│  The message you are writing will be lost.")) << t->screen();
    t->keys({"n"});
    ASSERT_TRUE(t->wait_gone("─ Discard the message? ")) << t->screen();
    EXPECT_TRUE(t->wait_for("│ text ")) << t->screen();
    t->keys({"Escape"});
    ASSERT_TRUE(t->wait_for("─ Discard the message? ")) << t->screen();
    t->keys({"y"});

    // A long line breaks at the last blank that fits 60 columns, the cursor
    // after the blank that ends the second piece.
    open_form(*t);
    t->keys({"BTab"});
    std::string words = "text";
    for (int i = 0; i < 6; i++)
        words += " 0123456789";
    t->type(words + " ");
    ASSERT_TRUE(t->wait_for("│ " + words.substr(0, 59) + "  │")) << t->screen();
    EXPECT_TRUE(t->wait_for("│ 0123456789  ")) << t->screen();
    EXPECT_EQ(cursor_at(*t, "27,7"), "27,7");
    // Twelve lines more: the ten rows of the box show the last ten pieces.
    for (int i = 1; i <= 12; i++) {
        t->keys({"Enter"});
        t->type(std::to_string(i));
    }
    ASSERT_TRUE(t->wait_for("│ 12 ")) << t->screen();
    std::string screen = t->screen();
    EXPECT_NE(screen.find(" Text       ┌" + repeat("─", 62) + "┐ │\n│             │ 3 "), std::string::npos) << screen;
    EXPECT_NE(screen.find("│ 12 " + std::string(58, ' ') + "│ │\n│             └"), std::string::npos) << screen;
    EXPECT_EQ(cursor_at(*t, "18,15"), "18,15");
    t->keys({"C-c"});
    expect_ended_with_terminal_back(*t);
}
