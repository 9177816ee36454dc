// Helpers for the real-system tests, which run as root inside the private
// namespace that tests/system/enter-namespace sets up: test accounts (alice,
// bob, carol, dave, erin), login session files, a private devpts instance,
// a journald of its own, sudo, and stand-ins for systemd-run, zenity and
// notify-send in /run/e2e/bin.
//
// Everything that changes the machine refuses to run (std::logic_error)
// outside that namespace, so a stray run on a real machine cannot empty its
// message store or end its users' processes.
#pragma once

#include "support.h"

#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

// True inside the environment (KELV_SYSTEM_ENV=1 and the environment's
// marker present).
bool in_system_env();

// Puts the environment back to its start: ends every process of a non-root
// user, empties /var/lib/kelvora, /run/systemd/sessions, the users' runtime
// directories and /run/e2e/log (the directory stays, mode 0777; the daemons'
// own logs stay).
void system_reset();

// Runs argv (searched along the user's PATH) as the named account: its
// groups as initgroups gives them, then its gid, then its uid, real,
// effective and saved alike; a clean environment (HOME, USER, LOGNAME,
// PATH=/run/e2e/bin:/usr/local/bin:/usr/bin:/bin, XDG_RUNTIME_DIR=
// /run/user/UID) plus opt.env; the working directory is opt.cwd, else the
// home when it exists, else "/". Other fields of opt as for run_program.
run_result run_as(const std::string &user, const std::vector<std::string> &argv,
                  run_options opt = {});

// Writes /run/systemd/sessions/ID (mode 0644), one KEY=VALUE field per line,
// as logind would; session_remove deletes it (no error if absent).
void session_write(const std::string &id, const std::vector<std::string> &fields);
void session_remove(const std::string &id);

// A pseudo-terminal as a login leaves it: the slave belongs to the user
// (owner uid, group tty, mode 0620). The object keeps the master and a
// slave descriptor open, so the terminal lives until it is destroyed.
struct test_pty {
    int master = -1;
    std::string slave_path; // "/dev/pts/N"

    test_pty() = default;
    test_pty(test_pty &&other) noexcept;
    test_pty &operator=(test_pty &&other) noexcept;
    test_pty(const test_pty &) = delete;
    test_pty &operator=(const test_pty &) = delete;
    ~test_pty();

    // Everything that arrives on the master within timeout_ms.
    std::string read_available(int timeout_ms);
    // What arrives until text has been seen or timeout_ms has passed.
    std::string read_until(const std::string &text, int timeout_ms);
    // Types bytes: they reach the slave's reader as keyboard input.
    void write(const std::string &bytes);

    int slave = -1; // held open: keeps the terminal alive; reads what is typed
};

// A new pty whose slave belongs to user.
test_pty open_pty_for(const std::string &user);
// The same with its output stopped and its buffer full: every write to it
// waits, as on a terminal held with Ctrl-S.
test_pty open_stopped_pty_for(const std::string &user);

// A process running as user on a fresh pty that belongs to user: a new
// session with the slave as controlling terminal and as standard input,
// output and error; the environment of run_as plus env ("NAME=value").
struct pty_process {
    pid_t pid = -1;
    int master = -1;
    std::string tty;    // "/dev/pts/N"
    std::string output; // everything read from the terminal so far

    pty_process() = default;
    pty_process(pty_process &&other) noexcept;
    pty_process &operator=(pty_process &&other) noexcept;
    pty_process(const pty_process &) = delete;
    pty_process &operator=(const pty_process &) = delete;
    // Kills the process group and reaps the process if it is still running.
    ~pty_process();

    // Reads until output (all of it, not only the new part: clear output to
    // wait for a later occurrence) contains text; false after timeout_ms.
    bool wait_for(const std::string &text, int timeout_ms);
    // Types bytes on the terminal.
    void send(const std::string &bytes);
    // Reads the output until the process exits and returns its status (128 +
    // signal for a signal); -1 when timeout_ms passes first, after killing
    // and reaping it.
    int wait_exit(int timeout_ms);
};

pty_process spawn_on_pty(const std::string &user, const std::vector<std::string> &argv,
                         const std::vector<std::string> &env = {});

// A process of user's own that runs body in a loop until the object is
// destroyed, as a user's program would: an attacker's stopper or toucher.
// body runs in the forked child with user's identity (groups, gid, uid) and
// may only make system calls.
struct user_loop {
    pid_t pid = -1;

    user_loop(const std::string &user, const std::function<void()> &body);
    user_loop(const user_loop &) = delete;
    user_loop &operator=(const user_loop &) = delete;
    // Kills it (SIGKILL also ends it when it stopped itself) and reaps it.
    ~user_loop();
};

// Runs fn in a forked child with user's identity and waits for it; its exit
// status (0 when fn returns).
int run_function_as(const std::string &user, const std::function<void()> &fn);

// One journal entry: every field (binary values kept as bytes; a field that
// occurs more than once keeps its last value) and its wallclock time.
struct journal_entry {
    std::map<std::string, std::string> fields;
    uint64_t realtime_usec = 0;

    // The value of field, or "" without it.
    std::string get(const std::string &field) const;
};

// Waits until journald has written everything sent so far (journalctl
// --sync), then returns every entry, system and user journals alike, that
// has all the FIELD=value matches, in journal order.
std::vector<journal_entry> journal_read(const std::vector<std::string> &matches);

// Starts Xvfb on a free display unless this environment already has one,
// and returns its name, e.g. ":97". It runs until the environment ends.
std::string start_xvfb();

// A file system of user's own at path that never answers: a FUSE server run
// as the user (the mount made by root with user_id, as fusermount3 would make
// it) that accepts the connection and then reads every request without ever
// replying. Only the user may enter it, and whoever does sleeps in the kernel
// beyond the reach of SIGKILL. The destructor ends the server, which wakes
// every sleeper with an error, and detaches the mount.
struct hanging_fs {
    pid_t server = -1;
    std::string path;

    hanging_fs() = default;
    hanging_fs(hanging_fs &&other) noexcept;
    hanging_fs(const hanging_fs &) = delete;
    hanging_fs &operator=(const hanging_fs &) = delete;
    ~hanging_fs();
};

// Mounts a hanging file system of user's on path (an existing directory or
// file).
hanging_fs mount_hanging_fs(const std::string &path, const std::string &user);

// The screen of a terminal emulator (tmux) of cols x rows once argv, run in
// it as root with environment env ("NAME=value"), has ended: one string per
// row, without the blanks at its end.
std::vector<std::string> screen_of(const std::vector<std::string> &argv, int cols, int rows,
                                   const std::vector<std::string> &env = {});

// Options for a program run under strace: LeakSanitizer cannot work under
// ptrace, so a sanitizer build's leak check is turned off there.
run_options traced_options();

// Makes the next message numbers of the store unique within this run of the
// environment, whose journal outlives each test, and returns the first one.
int64_t fresh_message_numbers();

// Base fixture of real-system tests: skips outside the environment and
// starts each test from system_reset().
class system_test : public ::testing::Test {
  protected:
    void SetUp() override;
};
