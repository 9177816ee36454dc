// A real terminal emulator for whole-screen tests: one detached tmux session
// on a server of its own, whose only pane runs a shell command. The screen is
// read back as the emulator shows it (capture-pane), so tests check what a
// user sees, not the bytes that produced it.
#pragma once

#include "support.h"

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct tmux_session {
    // How each tmux command runs: run_program by default; a real-system test
    // runs them as a test user (run_as).
    using runner =
        std::function<run_result(const std::vector<std::string> &argv, const run_options &opt)>;

    // Starts "sh -c command" in a cols x rows window without a status line;
    // the terminal type inside is "screen", the locale C.UTF-8.
    tmux_session(int cols, int rows, const std::string &command, runner run = {});
    // Ends the server and with it whatever still runs in the window.
    ~tmux_session();
    tmux_session(const tmux_session &) = delete;
    tmux_session &operator=(const tmux_session &) = delete;

    // The visible screen, one string per row, trailing blanks dropped; with
    // styles, the SGR sequences of the cells too.
    std::vector<std::string> rows(bool styles = false) const;
    // The same rows, each ended by a newline.
    std::string screen(bool styles = false) const;
    // Waits until the screen contains text; false after timeout_ms.
    bool wait_for(const std::string &text, int timeout_ms = 5000) const;
    // Waits until the screen no longer contains text.
    bool wait_gone(const std::string &text, int timeout_ms = 5000) const;
    // Presses keys by tmux's names ("Down", "Escape", "C-c", "q").
    void keys(const std::vector<std::string> &names) const;
    // Types text literally.
    void type(const std::string &text) const;
    void resize(int cols, int rows) const;
    // A tmux format of the pane, e.g. "#{alternate_on}".
    std::string format(const std::string &f) const;
    // The pane's process: the sh that runs the command.
    pid_t pane_pid() const;
    // The pane's title, which an escape sequence could change.
    std::string pane_title() const { return format("#{pane_title}"); }

  private:
    std::string socket_;
    runner run_;
    run_result tmux(std::vector<std::string> args) const;
    bool wait_until(const std::string &text, bool present, int timeout_ms) const;
};

// The first child process of pid, or -1.
pid_t first_child(pid_t pid);

// In a pane whose shell waits for a command line: runs stty -g there, through
// a file in dir, and returns what it printed (the terminal's settings as the
// shell's commands get them); "" when nothing came within 5 seconds.
std::string shell_stty(const tmux_session &t, const std::string &dir);
