// The interface for real: alice, an administrator through sudo, runs kelv in
// a terminal emulator of hers, sees what root sent and revokes it; what bob
// wrote into his mailbox changes the counts and nothing else on her screen.
// She writes a message in her own editor, which runs as her, never as root,
// and sees bob's confirmation in the message's history from the journal.
// Whatever bob does to the children that read his mailbox or to the journal,
// her screen answers her keys at once.
#include "common/common.h"
#include "system.h"
#include "tmux.h"

#include <atomic>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

namespace {

const std::string kelv = "/usr/local/bin/kelv";
const std::string helper = "/usr/local/lib/kelvora/kelvora-user";
// A stand-in editor that anyone may run: it notes who runs it and who owns
// the file, then does what editor.mode says (write text by default).
const std::string editor = "/run/e2e/log/editor";

class Interface : public system_test {};

run_result as_alice(const std::vector<std::string> &argv, const run_options &opt)
{
    return run_as("alice", argv, opt);
}

void write_editor()
{
    write_text(editor,
               "#!/bin/sh\n"
               "id -u > /run/e2e/log/editor.uid.$$\n"
               "stat -c %U \"$1\" > /run/e2e/log/editor.owner.$$\n"
               "case \"$(cat /run/e2e/log/editor.mode 2>/dev/null)\" in\n"
               "link) rm -f \"$1\" && ln -s /etc/shadow \"$1\" ;;\n"
               "*) printf 'Written in the editor.\\n\\n\\n' > \"$1\" ;;\n"
               "esac\n",
               0755);
}

// What the runs of the stand-in editor noted, by the name of the note.
std::vector<std::string> editor_notes(const std::string &note)
{
    std::vector<std::string> notes;
    for (const std::string &name : list_dir("/run/e2e/log"))
        if (name.starts_with("editor." + note + "."))
            notes.push_back(read_text("/run/e2e/log/" + name));
    return notes;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The real user ID of process pid, or -1 when it is gone.
long real_uid(pid_t pid)
{
    char path[64], buf[4096];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    buf[n > 0 ? n : 0] = '\0';
    const char *uid = strstr(buf, "\nUid:");
    return uid ? strtol(uid + 5, nullptr, 10) : -1;
}

// alice's sudo kelv in a terminal of hers; the shell says when it ended.
std::unique_ptr<tmux_session> alices_kelv(int cols = 100, int rows = 30)
{
    return std::make_unique<tmux_session>(cols, rows, "sudo kelv; echo \"[kelv ended: $?]\"; exec sleep 100000",
                                          as_alice);
}

} // namespace

TEST_F(Interface, AnAdministratorThroughSudoRevokesWhatRootSent)
{
    const std::string n = std::to_string(fresh_message_numbers());
    run_result r = run_program({kelv, "send", "--to", "bob", "--title", "Root's notice", "Maintenance at noon."});
    ASSERT_EQ(r.status, 0) << r.err;
    // bob confirms, with terminal controls in his record's channel text.
    r = run_as("bob", {"sh", "-c",
                       "printf '%s \\033]0;pwned\\007\\033[2J\\n' \"$(date +%s)\" > /var/lib/kelvora/users/bob/acks/" +
                           n + ".tmp && mv /var/lib/kelvora/users/bob/acks/" + n + ".tmp /var/lib/kelvora/users/bob/acks/" + n});
    ASSERT_EQ(r.status, 0) << r.err;

    tmux_session t(100, 30,
                   "stty -g > /home/alice/stty.before; sudo kelv; echo \"[kelv ended: $?]\"; "
                   "stty -g > /home/alice/stty.tmp; mv /home/alice/stty.tmp /home/alice/stty.after; exec sleep 100000",
                   as_alice);
    ASSERT_TRUE(t.wait_for("Maintenance at noon.", 10000)) << t.screen();
    ASSERT_TRUE(t.wait_gone(" mailbox…")) << t.screen(); // bob's mailbox answered
    EXPECT_TRUE(std::regex_search(t.screen(), std::regex("│ >" + n + "  \\d\\d/\\d\\d \\d\\d:\\d\\d  Root's notice · "
                                                         "Maintenance at noon\\. +████████████  1/1 +│")))
        << t.screen();
    EXPECT_NE(t.pane_title(), "pwned");

    t.keys({"r"});
    ASSERT_TRUE(t.wait_for("─ Revoke message " + n + "? ")) << t.screen();
    EXPECT_TRUE(t.wait_for("«Root's notice» · all confirmed (1)")) << t.screen();
    t.keys({"y"});
    ASSERT_TRUE(t.wait_for("│  Message " + n + " revoked.")) << t.screen();
    EXPECT_NE(run_program({kelv, "status", n}).out.find("REVOKED on"), std::string::npos);
    // The revocation is alice's, as with kelv revoke through sudo.
    std::vector<journal_entry> revoked = journal_read({"KELV_EVENT=REVOKED", "KELV_MESSAGE=" + n});
    ASSERT_EQ(revoked.size(), 1u);
    EXPECT_EQ(revoked[0].get("KELV_AUTHOR"), "alice");
    EXPECT_EQ(revoked[0].get("_UID"), "0");

    t.keys({"x"});
    ASSERT_TRUE(t.wait_for("[revoked] Root's notice")) << t.screen();
    t.keys({"q"});
    ASSERT_TRUE(t.wait_for("[kelv ended: 0]")) << t.screen();
    for (int i = 0; i < 250 && !exists("/home/alice/stty.after"); i++)
        usleep(20000);
    EXPECT_EQ(read_text("/home/alice/stty.after"), read_text("/home/alice/stty.before"));
    EXPECT_NE(read_text("/home/alice/stty.before"), "");
}

TEST_F(Interface, TheEditorRunsAsTheCallerAndTheHistoryComesFromTheJournal)
{
    const std::string n = std::to_string(fresh_message_numbers());
    write_editor();
    // sudo keeps no VISUAL of the caller's; alice's rule lets her set it.
    tmux_session t(100, 30, "sudo VISUAL=" + editor + " kelv; echo \"[kelv ended: $?]\"; exec sleep 100000",
                   as_alice);
    ASSERT_TRUE(t.wait_for("No messages sent.", 10000)) << t.screen();
    t.keys({"n"});
    ASSERT_TRUE(t.wait_for("─ New message ")) << t.screen();
    t.type("bob");
    t.keys({"Tab", "Tab", "Tab"});

    // The file replaced by a link to a file that only root may read: it is
    // read back with alice's rights, and refused.
    write_text("/run/e2e/log/editor.mode", "link\n");
    t.keys({"C-e"});
    ASSERT_TRUE(t.wait_for("─ External editor ")) << t.screen();
    EXPECT_TRUE(t.wait_for("cannot be read back")) << t.screen();
    EXPECT_EQ(t.screen().find("root:"), std::string::npos) << t.screen();
    t.keys({"x"});
    ASSERT_TRUE(t.wait_gone("─ External editor ")) << t.screen();
    EXPECT_TRUE(t.wait_for("0 of 65536 bytes")) << t.screen();

    unlink("/run/e2e/log/editor.mode");
    t.keys({"C-e"});
    ASSERT_TRUE(t.wait_for("│ Written in the editor. ")) << t.screen();
    EXPECT_TRUE(t.wait_for("22 of 65536 bytes")) << t.screen();
    EXPECT_EQ(editor_notes("uid"), (std::vector<std::string>{"1001\n", "1001\n"}));
    EXPECT_EQ(editor_notes("owner"), (std::vector<std::string>{"alice\n", "alice\n"}));
    for (const std::string &name : list_dir("/tmp"))
        EXPECT_FALSE(name.starts_with("kelvora-")) << "left behind: /tmp/" << name;

    t.keys({"C-s"});
    ASSERT_TRUE(t.wait_for("─ Send the message? ")) << t.screen();
    t.keys({"y"});
    ASSERT_TRUE(t.wait_for("│  Message " + n + " sent to 1 user.")) << t.screen();
    message m;
    ASSERT_EQ(message_read(("/var/lib/kelvora/sent/" + n + "/msg").c_str(), m), 0);
    EXPECT_STREQ(m.from, "alice");
    EXPECT_STREQ(m.text, "Written in the editor.\n");
    t.keys({"x"});

    // bob confirms at a real prompt of his; the history shows it, written by
    // his own helper, after what kelv logged as root.
    pty_process prompt = spawn_on_pty("bob", {helper, "prompt"});
    ASSERT_TRUE(prompt.wait_for("[y/N] ", 5000)) << prompt.output;
    prompt.send("y\n");
    EXPECT_EQ(prompt.wait_exit(5000), 0) << prompt.output;
    ASSERT_TRUE(t.wait_for("│ >" + n + "  ")) << t.screen();
    t.keys({"Enter"});
    ASSERT_TRUE(t.wait_for("─ Message " + n + " ")) << t.screen();
    t.keys({"Tab"});
    ASSERT_TRUE(t.wait_for("user bob: confirmed reading message " + n + " (terminal " + prompt.tty.substr(5) + ")"))
        << t.screen();
    std::string history = t.screen();
    EXPECT_NE(history.find("  message " + n + " sent by alice to: bob "), std::string::npos) << history;
    EXPECT_NE(history.find("  message " + n + " delivered to bob (terminals written: "), std::string::npos) << history;
    EXPECT_EQ(history.find("not trustworthy"), std::string::npos) << history;
    t.keys({"BTab"});
    ASSERT_TRUE(t.wait_for(" bob           confirmed on ")) << t.screen();
    t.keys({"q", "q"});
    EXPECT_TRUE(t.wait_for("[kelv ended: 0]")) << t.screen();
}

TEST_F(Interface, AnEditorForACallerWhoCannotBeFoundNeverRunsAsRoot)
{
    write_editor();
    // Root's kelv, told by its environment that it runs for an account that
    // does not exist: no editor at all rather than root's.
    tmux_session t(100, 30,
                   "trap : INT; SUDO_USER=ghost SUDO_UID=4242 VISUAL=" + editor + " " + kelv +
                       "; echo \"[kelv ended: $?]\"; exec sleep 100000");
    ASSERT_TRUE(t.wait_for("No messages sent.", 10000)) << t.screen();
    t.keys({"n", "Tab", "Tab", "Tab"});
    t.type("Kept as typed.");
    t.keys({"C-e"});
    ASSERT_TRUE(t.wait_for("─ External editor ")) << t.screen();
    EXPECT_TRUE(t.wait_for("ghost")) << t.screen();
    t.keys({"x"});
    ASSERT_TRUE(t.wait_for("│ Kept as typed. ")) << t.screen();
    EXPECT_EQ(editor_notes("uid").size(), 0u);
    t.keys({"C-c"});
    EXPECT_TRUE(t.wait_for("[kelv ended: 0]")) << t.screen();
}

TEST_F(Interface, BobStoppingTheReadsOfHisMailboxNeverHoldsTheScreen)
{
    const std::string n = std::to_string(fresh_message_numbers());
    ASSERT_EQ(run_program({kelv, "send", "--to", "alice,bob", "Road works."}).status, 0);
    // alice has confirmed; bob's acks/ holds 30,000 names, so that reading
    // it lasts long enough to be caught.
    const std::string acks = "/var/lib/kelvora/users/";
    ASSERT_EQ(run_as("alice", {"sh", "-c", "printf '%s terminal pts/9\\n' \"$(date +%s)\" > " + acks + "alice/acks/" + n})
                  .status, 0);
    ASSERT_EQ(run_as("bob", {"sh", "-c", "cd " + acks + "bob/acks && seq 100000 130000 | xargs touch"}).status, 0);

    // bob touches a record of his all the time, so that his mailbox is
    // always to be read again, and stops every other process of his as it
    // appears, whatever it is called.
    std::string touched = acks + "bob/acks/100000";
    user_loop toucher("bob", [&] {
        utimensat(AT_FDCWD, touched.c_str(), nullptr, 0);
        usleep(50000);
    });
    auto *stopped = static_cast<std::atomic<int> *>(
        mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(stopped, MAP_FAILED);
    new (stopped) std::atomic<int>(0);
    pid_t spared = toucher.pid;
    user_loop stopper("bob", [&] {
        static std::set<pid_t> seen;
        if (DIR *d = opendir("/proc")) {
            while (struct dirent *e = readdir(d)) {
                pid_t pid = static_cast<pid_t>(atoi(e->d_name));
                if (pid <= 0 || pid == getpid() || pid == spared || real_uid(pid) != 1002)
                    continue;
                if (kill(pid, SIGSTOP) == 0 && seen.insert(pid).second)
                    (*stopped)++;
            }
            closedir(d);
        }
    });

    // Whenever she quits, the interface ends at once; the list is there at
    // once with alice's confirmation, bob's counts as far as they are known.
    const std::regex row("│ >" + n + "  \\d\\d/\\d\\d \\d\\d:\\d\\d  Road works\\. +(?:█){6}(?:▒){6}  1/2 +│");
    struct attempt {
        const char *wait_for; // what is on screen before the key
        double at;            // seconds after the list
        const char *key;
    };
    for (const attempt &a : {attempt{nullptr, 0.5, "q"}, attempt{nullptr, 3.2, "C-c"},
                             attempt{"not answering, shown as last read: bob", 0, "q"}}) {
        auto start = std::chrono::steady_clock::now();
        auto t = alices_kelv();
        ASSERT_TRUE(t->wait_for("Road works.", 3000)) << t->screen();
        for (int i = 0; i < 150 && !std::regex_search(t->screen(), row); i++)
            usleep(20000);
        EXPECT_TRUE(std::regex_search(t->screen(), row)) << t->screen();
        EXPECT_LT(seconds_since(start), 3.0) << t->screen();
        if (a.wait_for) {
            ASSERT_TRUE(t->wait_for(a.wait_for, 15000)) << t->screen();
        }
        usleep(static_cast<useconds_t>(a.at * 1e6));
        auto pressed = std::chrono::steady_clock::now();
        t->keys({a.key});
        EXPECT_TRUE(t->wait_for("[kelv ended: 0]", 1000)) << a.key << " after " << a.at << " s:\n" << t->screen();
        EXPECT_LT(seconds_since(pressed), 1.0) << t->screen();
        ASSERT_TRUE(t->wait_for("[kelv ended: 0]", 10000)) << t->screen();
    }
    EXPECT_GT(stopped->load(), 0) << "bob's stopper never caught a read of his mailbox";
    munmap(stopped, sizeof(std::atomic<int>));
}

TEST_F(Interface, AFloodedJournalNeverHoldsTheHistoryPane)
{
    const std::string n = std::to_string(fresh_message_numbers());
    ASSERT_EQ(run_program({kelv, "send", "--to", "alice,bob", "--title", "Flooded", "Quiet text."}).status, 0);
    // bob writes entries about the message, as anyone may; each shows as
    // not trustworthy.
    const int forged = 60000;
    ASSERT_EQ(run_function_as("bob",
                              [&] {
                                  for (int i = 0; i < forged; i++)
                                      sd_journal_send("MESSAGE=forged %d", i, "SYSLOG_IDENTIFIER=kelv",
                                                      "KELV_EVENT=CONFIRMED", "KELV_USER=alice",
                                                      ("KELV_MESSAGE=" + n).c_str(), nullptr);
                              }),
              0);
    ASSERT_EQ(journal_read({"KELV_MESSAGE=" + n, "_UID=1002"}).size(), static_cast<size_t>(forged));

    auto t = alices_kelv(120, 40);
    ASSERT_TRUE(t->wait_for("Flooded · Quiet text.", 5000)) << t->screen();
    t->keys({"Enter"});
    ASSERT_TRUE(t->wait_for("─ Message " + n + " · Flooded ")) << t->screen();
    // The history is read in the background: Esc answers at once.
    t->keys({"Tab"});
    auto pressed = std::chrono::steady_clock::now();
    t->keys({"Escape"});
    EXPECT_TRUE(t->wait_for("─ Kelvora · sent messages ", 1000)) << t->screen();
    EXPECT_LT(seconds_since(pressed), 1.0);

    // Read in full, it shows ten of bob's entries and says how many more
    // were left out, after what kelv logged itself.
    t->keys({"Enter"});
    ASSERT_TRUE(t->wait_for("─ Message " + n + " · Flooded ")) << t->screen();
    t->keys({"Tab"});
    ASSERT_TRUE(t->wait_for("[not trustworthy: written by UID 1002] " + std::to_string(forged - 10) +
                                " more entries of this writer left out ",
                            30000))
        << t->screen();
    std::string screen = t->screen();
    size_t shown = 0;
    for (size_t at = 0; (at = screen.find("[not trustworthy: written by UID 1002] user alice: confirmed", at)) !=
                        std::string::npos;
         at++)
        shown++;
    EXPECT_EQ(shown, 10u) << screen;
    EXPECT_NE(screen.find("  message " + n + " sent by root to: alice bob "), std::string::npos) << screen;
    pressed = std::chrono::steady_clock::now();
    t->keys({"q"});
    EXPECT_TRUE(t->wait_for("─ Kelvora · sent messages ", 1000)) << t->screen();
    t->keys({"q"});
    EXPECT_TRUE(t->wait_for("[kelv ended: 0]")) << t->screen();
}

TEST_F(Interface, MountsOfBobsOwnNeverMakeEveryMailboxBeReadAgain)
{
    const std::string n = std::to_string(fresh_message_numbers());
    ASSERT_EQ(run_program({kelv, "send", "--to", "alice,bob", "Mounted."}).status, 0);
    auto t = alices_kelv();
    ASSERT_TRUE(t->wait_for("Mounted.", 5000)) << t->screen();
    ASSERT_TRUE(t->wait_gone(" mailbox…")) << t->screen();

    // Every time a child reads alice's mailbox it opens her acks directory.
    open_counter reads("/var/lib/kelvora/users/alice/acks");
    // bob mounts and unmounts a file system of his own, as fusermount lets
    // him, for longer than two timed reloads.
    const std::string point = "/home/bob/mnt";
    ASSERT_EQ(run_as("bob", {"mkdir", point}).status, 0);
    for (int i = 0; i < 70; i++) {
        ASSERT_EQ(mount("bobfs", point.c_str(), "tmpfs", 0, "size=64k"), 0) << strerror(errno);
        usleep(50000);
        ASSERT_EQ(umount2(point.c_str(), MNT_DETACH), 0) << strerror(errno);
        usleep(50000);
    }
    EXPECT_EQ(reads.take(), 0) << "alice's mailbox read again for bob's mounts";
    t->keys({"q"});
    EXPECT_TRUE(t->wait_for("[kelv ended: 0]")) << t->screen();
}

TEST_F(Interface, AnEditorSuspendedThroughSudoSuspendsKelvAndComesBackWithTheDraft)
{
    // An editor as full-screen editors are: its terminal is raw, so Ctrl+Z
    // reaches it as a byte, and it stops itself alone.
    write_text(editor,
               "#!/bin/bash\n"
               "stty raw -echo\n"
               "printf 'editing: %s\\r\\n' \"$(head -n 1 \"$1\")\"\n"
               "while :; do\n"
               "  case $(dd bs=1 count=1 2>/dev/null | od -An -tx1 | tr -d ' \\n') in\n"
               "  1a) stty sane; kill -TSTP $$; stty raw -echo; printf 'editing again\\r\\n' ;;\n"
               "  77) printf 'Added in the editor.\\n' >> \"$1\"; stty sane; exit 0 ;;\n"
               "  esac\n"
               "done\n",
               0755);
    // alice's shell with job control; sudo runs kelv on a terminal of its
    // own (use_pty, as Debian's sudoers has it) and watches kelv alone.
    ASSERT_NE(read_text("/etc/sudoers").find("use_pty"), std::string::npos);
    tmux_session t(100, 30, "exec env PS1='alice$ ' bash --norc -i", as_alice);
    // The shell's prompt stands alone on the last row it has written.
    auto prompt_back = [&] {
        for (int i = 0; i < 250; i++) {
            std::vector<std::string> rows = t.rows();
            while (!rows.empty() && rows.back().empty())
                rows.pop_back();
            if (!rows.empty() && rows.back() == "alice$")
                return true;
            usleep(20000);
        }
        return false;
    };
    ASSERT_TRUE(prompt_back()) << t.screen();
    t.type("sudo VISUAL=" + editor + " kelv");
    t.keys({"Enter"});
    ASSERT_TRUE(t.wait_for("No messages sent.", 10000)) << t.screen();
    t.keys({"n", "Tab", "Tab", "Tab"});
    t.type("Typed before the editor.");
    t.keys({"C-e"});
    ASSERT_TRUE(t.wait_for("editing: Typed before the editor.")) << t.screen();

    t.keys({"C-z"});
    ASSERT_TRUE(t.wait_for("Stopped")) << t.screen();
    EXPECT_TRUE(prompt_back()) << t.screen();
    t.type("fg");
    t.keys({"Enter"});
    ASSERT_TRUE(t.wait_for("editing again")) << t.screen();
    t.keys({"w"});
    ASSERT_TRUE(t.wait_for("│ Typed before the editor.")) << t.screen();
    EXPECT_TRUE(t.wait_for("│ Added in the editor.")) << t.screen();
    t.keys({"C-c"});
    EXPECT_TRUE(prompt_back()) << t.screen();
}
