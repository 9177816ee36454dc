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
    // runs them as a test user.
    using runner = std::function<run_result(const std::vector<std::string> &)>;

    // Starts the session with the pane's size and command (given to sh -c).
    tmux_session(int cols, int rows, const std::string &command, runner run = {});
    ~tmux_session();
    tmux_session(const tmux_session &) = delete;
    tmux_session &operator=(const tmux_session &) = delete;

    // The visible screen, one line per row, trailing blanks dropped; with
    // styles, the SGR sequences of the cells too.
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
    // The pane's process: the sh that runs the command.
    pid_t pane_pid() const;
    // The pane's title, which an escape sequence could change.
    std::string pane_title() const;

  private:
    std::string socket_;
    runner run_;
    run_result tmux(std::vector<std::string> args) const;
};

// The first child process of pid, or -1.
pid_t first_child(pid_t pid);
