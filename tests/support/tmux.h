// A real terminal emulator for tests: a tmux server of its own, on a private
// socket, running one command in one window of a given size, whose screen is
// read back as the user would see it.
#pragma once

#include "support.h"

#include <string>
#include <sys/types.h>
#include <vector>

struct tmux_terminal {
    temp_dir dir;
    std::string socket;

    // Starts "/bin/sh -c command" in a cols x rows window without a status
    // line; the terminal type inside is "screen", the locale C.UTF-8.
    tmux_terminal(int cols, int rows, const std::string &command);
    // Ends the server and with it whatever still runs in the window.
    ~tmux_terminal();
    tmux_terminal(const tmux_terminal &) = delete;
    tmux_terminal &operator=(const tmux_terminal &) = delete;

    // The screen, one string per row, trailing blanks cut; with escapes, the
    // colours and attributes as escape sequences too.
    std::vector<std::string> screen(bool escapes = false);
    // The screen's rows joined by newlines.
    std::string text(bool escapes = false);
    // Polls the screen until it contains text; false after timeout_ms.
    bool wait_for(const std::string &text, int timeout_ms = 5000);
    // Presses keys given by tmux's names ("Tab", "PageDown", "q").
    void keys(const std::vector<std::string> &names);
    // Types the bytes as they are.
    void type(const std::string &bytes);
    void resize(int cols, int rows);
    // A tmux format of the window's pane, e.g. "#{alternate_on}".
    std::string format(const std::string &f);
    // The process started for the command (the shell).
    pid_t shell_pid();

    run_result tmux(std::vector<std::string> args);
};

// The first child of process pid, or -1 when it has none.
pid_t first_child(pid_t pid);
