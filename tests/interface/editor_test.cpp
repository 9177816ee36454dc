// The compose form's external editor in test mode, through a stand-in editor
// that notes how it was called and what it was given, and saves what the
// test prepared: which editor runs, what comes back, and the form's screen
// and raw mode afterwards.
#include "interactive_fixture.h"

#include <gtest/gtest.h>
#include <regex>
#include <unistd.h>

namespace {

struct editor_fixture : interactive_fixture {
    // The stand-in, at s.path("bin/NAME"): notes "NAME ARGS" in calls and
    // the file it was given (its last argument) in seen, then saves next into
    // it, if there is one.
    std::string stand_in(const std::string &name)
    {
        std::string dir = s.path("bin");
        run_program({"mkdir", "-p", dir});
        write_text(dir + "/" + name,
                   "#!/bin/sh\n"
                   "printf '%s\\n' \"${0##*/} $*\" >> " + s.path("calls") + "\n"
                   "for file; do :; done\n"
                   "/bin/cp \"$file\" " + s.path("seen") + "\n"
                   "[ -f " + s.path("next") + " ] && /bin/cat " + s.path("next") + " > \"$file\"\n"
                   "exit 0\n",
                   0755);
        return dir + "/" + name;
    }

    // The calls noted so far, with the temporary file's name masked; waits
    // up to 5 seconds for them to be expected.
    std::string calls(const std::string &expected) const
    {
        std::string noted;
        for (int i = 0; i < 250; i++) {
            noted = std::regex_replace(read_text(s.path("calls")),
                                       std::regex("/tmp/kelvora-testo-[A-Za-z0-9]{6}\n"), "FILE\n");
            if (noted == expected)
                break;
            usleep(20000);
        }
        return noted;
    }
};

} // namespace

TEST_F(editor_fixture, VisualWithOptionsAndWhatComesBack)
{
    std::string editor = stand_in("editor");
    auto t = start(80, 24, {"'VISUAL=" + editor + " -x --flag'", "EDITOR=/nonexistent"});
    open_form(*t);
    t->type(s.me);
    t->keys({"Tab", "Tab", "Tab"});
    t->type("Alt");

    // Three trailing newlines go; the tab and the escape sequence are not
    // drawn as they stand.
    write_text(s.path("next"), "Neu\tmit Tab \x1b[31mrot\x1b[0m\x1b]0;pwned\x07\n\nZweite\n\n\n");
    t->keys({"C-e"});
    ASSERT_TRUE(t->wait_for("│ Zweite ")) << t->screen();
    EXPECT_EQ(calls("editor -x --flag FILE\n"), "editor -x --flag FILE\n");
    EXPECT_EQ(read_text(s.path("seen")), "Alt\n");
    // Back on the interface's screen, in raw mode: a key shows at once, at
    // the end of the text.
    EXPECT_EQ(t->format("#{alternate_on}"), "1");
    t->type("!");
    ASSERT_TRUE(t->wait_for("│ Zweite! ")) << t->screen();
    ASSERT_TRUE(t->wait_for("            24 of 65536 bytes")) << t->screen();
    std::string screen = t->screen();
    EXPECT_NE(screen.find(row(80, "            │ " + padded(64, "Neu mit Tab rot") + " │") +
                          row(80, "            │ " + padded(64, "") + " │") +
                          row(80, "            │ " + padded(64, "Zweite!") + " │")),
              std::string::npos)
        << screen;
    EXPECT_NE(t->pane_title(), "pwned");

    // More than the form takes back: said so, and the text stays.
    write_text(s.path("next"), std::string(140000, 'x'));
    t->keys({"C-e"});
    ASSERT_TRUE(t->wait_for("│  The editor saved more than 131072 bytes: too much to take back.")) << t->screen();
    EXPECT_TRUE(t->wait_for("│  The text is as it was.")) << t->screen();
    t->keys({"x"});
    ASSERT_TRUE(t->wait_for("│ Zweite! ")) << t->screen();

    // More than send takes: the size shows in red, and send refuses it.
    std::string long_text;
    while (long_text.size() < 70000)
        long_text += std::string(99, 'y') + "\n";
    write_text(s.path("next"), long_text);
    t->keys({"C-e"});
    ASSERT_TRUE(t->wait_for("            69999 of 65536 bytes")) << t->screen();
    EXPECT_NE(t->screen(true).find("\x1b[31m69999 of 65536 bytes"), std::string::npos) << t->screen(true);
    t->keys({"C-s"});
    ASSERT_TRUE(t->wait_for("│  Text: 69999 bytes")) << t->screen();
    t->keys({"y"});
    ASSERT_TRUE(t->wait_for("│  kelv: message too long: 69999 bytes (at most 65536)")) << t->screen();
    t->keys({"x"});
    ASSERT_TRUE(t->wait_gone("─ Sending result ")) << t->screen();
    EXPECT_EQ(list_dir(s.path("sent")).size(), 0u);
    // Every file the editor was given is gone. Only those: other programs
    // (a test running beside this one, a checkout under /tmp/kelvora-x) may
    // have names of the same kind in /tmp.
    std::vector<std::string> given = lines(read_text(s.path("calls")));
    EXPECT_EQ(given.size(), 3u);
    for (const std::string &call : given)
        EXPECT_FALSE(exists(call.substr(call.rfind(' ') + 1))) << "left behind: " << call;
    t->keys({"C-c"});
    expect_ended_with_terminal_back(*t);
}

TEST_F(editor_fixture, EditorWhenVisualIsEmptyThenNanoThenVi)
{
    std::string editor = stand_in("editor");
    auto with_editor = start(80, 24, {"VISUAL=", "'EDITOR=" + editor + " -e'"}, "", "editor");
    open_form(*with_editor);
    with_editor->keys({"C-e"});
    EXPECT_EQ(calls("editor -e FILE\n"), "editor -e FILE\n");
    with_editor->keys({"C-c"});
    expect_ended_with_terminal_back(*with_editor, 0, "editor");

    // Neither set: nano, then vi, along PATH; with neither, the text stays.
    // Each editor's text on screen tells that the form has the terminal
    // back: keys typed before would be discarded with the editor's input.
    unlink(s.path("calls").c_str());
    stand_in("nano");
    stand_in("vi");
    auto t = start(80, 24, {"VISUAL=", "EDITOR=", "PATH=" + s.path("bin")}, "", "fallback");
    open_form(*t);
    write_text(s.path("next"), "Von nano.\n");
    t->keys({"C-e"});
    ASSERT_TRUE(t->wait_for("│ Von nano. ")) << t->screen();
    unlink(s.path("bin/nano").c_str());
    write_text(s.path("next"), "Von vi.\n");
    t->keys({"C-e"});
    ASSERT_TRUE(t->wait_for("│ Von vi. ")) << t->screen();
    EXPECT_EQ(calls("nano FILE\nvi FILE\n"), "nano FILE\nvi FILE\n");
    unlink(s.path("bin/vi").c_str());
    t->keys({"C-e"});
    ASSERT_TRUE(t->wait_for("│  The editor (nano or vi) could not be started:")) << t->screen();
    EXPECT_TRUE(t->wait_for("│  it was not found.")) << t->screen();
    t->keys({"x"});
    ASSERT_TRUE(t->wait_for("│ Von vi. ")) << t->screen();
    t->keys({"C-c"});
    expect_ended_with_terminal_back(*t, 0, "fallback");
}

// Wide text typed into the form and taken back from the editor: the rows
// keep their borders, the cursor stands after the character it follows and
// moves over whole characters.
TEST_F(editor_fixture, WideTextTypedAndTakenBack)
{
    auto t = start(80, 24, {"VISUAL=" + stand_in("editor")});
    open_form(*t);
    // 24 wide characters, 48 columns, in a field of 36: while the cursor is
    // in it, the field shows the end that holds the cursor.
    std::string title = "年末年始のサーバー保守作業に関する重要なお知らせ";
    t->keys({"Tab"});
    t->type(title);
    ASSERT_TRUE(t->wait_for(" Title      [ " + title.substr(6 * 3) + " ]  optional")) << t->screen();
    EXPECT_EQ(cursor_at(*t, "52,3"), "52,3");
    EXPECT_EQ(misdrawn(*t, 80, 24), "") << t->screen();

    // "x" and 31 wide characters, 63 columns, in a box of 60: the 30th would
    // stand across the edge and starts the second row. Left steps over one
    // character, two columns.
    std::string text = "x今夜のメンテナンスではデータベースとメールサーバーを順番に再起";
    t->keys({"Tab", "Tab"});
    t->type(text);
    EXPECT_EQ(cursor_at(*t, "20,7"), "20,7");
    t->keys({"Left"});
    EXPECT_EQ(cursor_at(*t, "18,7"), "18,7");
    t->type("z");
    auto box_row = [](const std::string &line) { return row(80, "            │ " + padded(64, line) + " │"); };
    ASSERT_TRUE(t->wait_for(box_row(text.substr(0, 1 + 29 * 3)) + box_row("再z起"))) << t->screen();
    EXPECT_NE(t->screen().find(" Title      [ " + title.substr(0, 18 * 3) + " ]  optional"), std::string::npos);
    EXPECT_EQ(misdrawn(*t, 80, 24), "") << t->screen();
    EXPECT_EQ(cursor_at(*t, "19,7"), "19,7");

    // Taken back from the editor, the cursor after the emoji that ends it;
    // Up keeps its column on the screen, between two characters.
    write_text(s.path("next"), "戻ってきた文章です。\n二行目 ✅\n");
    t->keys({"C-e"});
    ASSERT_TRUE(t->wait_for(box_row("戻ってきた文章です。") + box_row("二行目 ✅"))) << t->screen();
    EXPECT_EQ(misdrawn(*t, 80, 24), "") << t->screen();
    EXPECT_EQ(cursor_at(*t, "25,7"), "25,7");
    t->keys({"Up"});
    t->type("!");
    ASSERT_TRUE(t->wait_for(box_row("戻ってき!た文章です。"))) << t->screen();
    t->keys({"C-c"});
    expect_ended_with_terminal_back(*t);
}
