// The shell prompt hooks for real: bash, zsh and fish run as alice on
// terminals of hers, with the hooks installed where the build's install step
// puts them, and the installed helper asks about the messages that the
// installed kelv sends as root.
#include "helper_system.h"

#include <cstdio>
#include <gtest/gtest.h>

using namespace helper_system;

namespace {

class Hooks : public helper_test {
  protected:
    void SetUp() override
    {
        helper_test::SetUp();
        if (IsSkipped())
            return;
        for (const char *hook :
             {"/etc/profile.d/kelvora.sh", "/etc/zsh/kelvora.zsh", "/etc/fish/conf.d/kelvora.fish"})
            ASSERT_TRUE(exists(hook)) << hook << " is not installed: run the tests through ctest, "
                                      << "or set KELV_SHELL_HOOKS to the build's shell directory";
        // zsh greets a user without startup files with its set-up menu
        // instead of a prompt.
        std::string zshrc = "/home/alice/.zshrc";
        if (!exists(zshrc)) {
            write_text(zshrc, "", 0644);
            ASSERT_EQ(chown(zshrc.c_str(), 1001, 1001), 0);
        }
    }
};

struct shell {
    const char *name;
    std::vector<std::string> argv;
};

const shell interactive_shells[] = {{"bash", {"bash"}}, {"zsh", {"zsh"}}, {"fish", {"fish"}}};
const shell login_shells[] = {
    {"bash login", {"bash", "-l"}}, {"zsh login", {"zsh", "-l"}}, {"fish login", {"fish", "-l"}}};

pty_process start_shell(const shell &s)
{
    return spawn_on_pty("alice", s.argv, user_env({"TERM=dumb", "SHELL=/usr/bin/" + s.argv[0]}));
}

// The prompt the tests give every shell: drawn once the shell, and its hook,
// are done with a command line.
const std::string prompt_mark = "P> ";

// Sets the shell's prompt to prompt_mark and waits for it.
bool set_prompt(pty_process &p, const shell &s)
{
    size_t from = p.output.size();
    // Quoted apart, so that only the prompt itself shows it whole.
    p.send(s.argv[0] == "fish" ? "function fish_prompt; echo -n 'P''> '; end\r" : "PS1='P''> '\r");
    return wait_for_after(p, prompt_mark, from, 10000);
}

// Types "echo WORD" with the word split by quotes, so that only the
// command's output shows it whole, and waits for that output and the prompt
// after it.
bool run_echo(pty_process &p, const std::string &word)
{
    size_t from = p.output.size();
    p.send("echo " + word.substr(0, 2) + "''" + word.substr(2) + "\r");
    if (!wait_for_after(p, word + "\r\n", from, 10000))
        return false;
    return wait_for_after(p, prompt_mark, p.output.find(word + "\r\n", from), 10000);
}

// What a shell prints when the hook ran something that is not there, or the
// answer leaked to the command line.
void expect_no_complaint(const std::string &output)
{
    for (const char *complaint : {"not found", "No such file", "Unknown command", "kelvora-user"})
        EXPECT_EQ(output.find(complaint), std::string::npos) << complaint << " in:\n" << output;
}

const std::string confirmed = "[Kelvora] Confirmed.\r\n";

std::string asked_again(int minutes)
{
    return "[Kelvora] You will be asked again in " + std::to_string(minutes) + " minutes.\r\n";
}

const std::string one_to_confirm = "[Kelvora] You have 1 message from the administrator to confirm.\r\n";

// Keeps the installed helper out of the shells' reach for the scope.
struct helper_hidden {
    std::string aside = helper + ".aside";
    helper_hidden()
    {
        if (rename(helper.c_str(), aside.c_str()) < 0)
            throw std::runtime_error("cannot move " + helper + " aside");
    }
    ~helper_hidden() { rename(aside.c_str(), helper.c_str()); }
};

} // namespace

TEST_F(Hooks, AnInteractiveShellAsksBeforeItsNextPrompt)
{
    for (const shell &s : interactive_shells) {
        SCOPED_TRACE(s.name);
        pty_process p = start_shell(s);
        ASSERT_TRUE(set_prompt(p, s)) << p.output;
        ASSERT_TRUE(run_echo(p, "ready")) << p.output;
        EXPECT_EQ(occurrences(p.output, question), 0u);

        std::string text = std::string("For ") + s.name + ".";
        int64_t n = send_message({"--to", "alice", "--title", "Hooks", text});
        // kelv itself writes the banner to the open terminal at once.
        ASSERT_TRUE(p.wait_for(text, 5000)) << p.output;
        p.send("\r");
        ASSERT_TRUE(p.wait_for(question, 5000)) << p.output;

        // The answer is a line: nothing happens before Enter, and what is
        // typed shows.
        p.send("y");
        p.wait_for(confirmed, 300);
        EXPECT_EQ(occurrences(p.output, confirmed), 0u) << p.output;
        p.send("ep\r");
        ASSERT_TRUE(p.wait_for(question + "yep\r\n" + confirmed, 5000)) << p.output;
        ASSERT_TRUE(run_echo(p, "after")) << p.output;
        p.send("exit\r");
        EXPECT_EQ(p.wait_exit(10000), 0) << p.output;

        expect_no_complaint(p.output);
        EXPECT_EQ(occurrences(p.output, question), 1u) << p.output;
        std::string record = read_text(box("acks", n));
        ASSERT_NE(record.find(' '), std::string::npos);
        EXPECT_EQ(record.substr(record.find(' ')), " terminal " + p.tty.substr(5) + "\n");
        EXPECT_EQ(events("CONFIRMED", n).size(), 1u);
    }
}

TEST_F(Hooks, ALoginShellAsksAtOnceAndItsFirstPromptNotAgain)
{
    configure(1);
    for (const shell &s : login_shells) {
        SCOPED_TRACE(s.name);
        int64_t n = send_message({"--to", "alice", std::string("Login ") + s.name + "."});
        // Put off just now: only a login run asks about it.
        {
            pty_process before = spawn_on_pty("alice", {helper, "prompt"}, user_env());
            ASSERT_TRUE(before.wait_for(question, 5000)) << before.output;
            before.send("n\r");
            ASSERT_EQ(before.wait_exit(5000), 0) << before.output;
        }

        pty_process p = start_shell(s);
        ASSERT_TRUE(p.wait_for(question, 10000)) << p.output;
        p.send("n\r");
        ASSERT_TRUE(p.wait_for(question + "n\r\n" + asked_again(1), 5000)) << p.output;
        // The login run was the first prompt's: nothing more before a command.
        p.wait_for(one_to_confirm, 500);
        EXPECT_EQ(occurrences(p.output, question), 1u) << p.output;
        EXPECT_EQ(occurrences(p.output, one_to_confirm), 0u) << p.output;

        // The next prompts are ordinary ones: the message is only counted.
        ASSERT_TRUE(set_prompt(p, s)) << p.output;
        EXPECT_EQ(occurrences(p.output, one_to_confirm), 1u) << p.output;
        ASSERT_TRUE(run_echo(p, "ready")) << p.output;
        EXPECT_EQ(occurrences(p.output, one_to_confirm), 2u) << p.output;
        p.send("exit\r");
        EXPECT_EQ(p.wait_exit(10000), 0) << p.output;
        EXPECT_EQ(occurrences(p.output, question), 1u) << p.output;
        expect_no_complaint(p.output);
        EXPECT_EQ(events("POSTPONED", n).size(), 2u);
        revoke_message(n); // out of the next shell's way
    }
}

TEST_F(Hooks, NonInteractiveShellsRunNoHook)
{
    int64_t n = send_message({"--to", "alice", "Pending."});
    write_text("/tmp/kelvora-hook-script", "echo ok\n", 0644);
    const std::vector<std::string> commands[] = {
        {"bash", "-c", "echo ok"}, {"bash", "-l", "-c", "echo ok"},
        {"bash", "/tmp/kelvora-hook-script"}, {"zsh", "-c", "echo ok"},
        {"zsh", "-l", "-c", "echo ok"}, {"fish", "-c", "echo ok"},
        {"fish", "-l", "-c", "echo ok"}};
    for (const std::vector<std::string> &argv : commands) {
        SCOPED_TRACE(argv[0] + " " + argv[1]);
        pty_process p = spawn_on_pty("alice", argv, user_env({"TERM=dumb"}));
        EXPECT_EQ(p.wait_exit(10000), 0);
        EXPECT_EQ(p.output, "ok\r\n");
    }
    EXPECT_EQ(list_dir(box("inbox")), std::vector<std::string>{std::to_string(n)});
    EXPECT_EQ(list_dir(box("state")), std::vector<std::string>{});
    EXPECT_EQ(list_dir(box("acks")), std::vector<std::string>{});
    EXPECT_TRUE(events("POSTPONED").empty());
    EXPECT_TRUE(events("CONFIRMED").empty());
}

TEST_F(Hooks, WithoutTheHelperTheShellsWorkSilently)
{
    send_message({"--to", "alice", "Nobody will ask."});
    helper_hidden hidden;
    for (const auto *list : {&interactive_shells, &login_shells}) {
        for (const shell &s : *list) {
            SCOPED_TRACE(s.name);
            pty_process p = start_shell(s);
            ASSERT_TRUE(set_prompt(p, s)) << p.output;
            ASSERT_TRUE(run_echo(p, "ready")) << p.output;
            p.send("\r");
            ASSERT_TRUE(run_echo(p, "again")) << p.output;
            p.send("exit\r");
            EXPECT_EQ(p.wait_exit(10000), 0) << p.output;
            EXPECT_EQ(p.output.find("Kelvora"), std::string::npos) << p.output;
            expect_no_complaint(p.output);
        }
    }
}

TEST_F(Hooks, BashKeepsTheExitStatusForThePrompt)
{
    pty_process p = start_shell(interactive_shells[0]);
    p.send("PS1='[$?]> '\r");
    ASSERT_TRUE(p.wait_for("[0]> ", 5000)) << p.output;

    // The helper asks, and exits 0, between the command and the prompt.
    send_message({"--to", "alice", "Status."});
    p.send("false\r");
    ASSERT_TRUE(p.wait_for(question, 5000)) << p.output;
    p.send("n\r");
    ASSERT_TRUE(p.wait_for(asked_again(30) + "[1]> ", 5000)) << p.output;
    p.send("echo \"st=$?\"\r");
    ASSERT_TRUE(p.wait_for("st=1\r\n" + one_to_confirm + "[0]> ", 5000)) << p.output;

    // Only counted now, and the status still gets through.
    p.send("(exit 7)\r");
    ASSERT_TRUE(p.wait_for(one_to_confirm + "[7]> ", 5000)) << p.output;
    p.send("exit\r");
    EXPECT_EQ(p.wait_exit(10000), 7) << p.output;
}
