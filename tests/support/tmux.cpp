#include "tmux.h"

#include <fstream>
#include <stdexcept>
#include <time.h>
#include <unistd.h>

tmux_terminal::tmux_terminal(int cols, int rows, const std::string &command)
{
    socket = dir / "socket";
    write_text(dir / "tmux.conf", "set -g status off\n"
                                  "set -g default-terminal screen\n"
                                  "set -g default-shell /bin/sh\n");
    run_result r = tmux({"-f", dir / "tmux.conf", "new-session", "-d", "-x", std::to_string(cols), "-y",
                         std::to_string(rows), command});
    if (r.status != 0)
        throw std::runtime_error("tmux new-session: " + r.err);
}

tmux_terminal::~tmux_terminal()
{
    tmux({"kill-server"});
}

run_result tmux_terminal::tmux(std::vector<std::string> args)
{
    args.insert(args.begin(), {"tmux", "-S", socket});
    run_options o;
    o.env = {"LC_ALL=C.UTF-8", "TERM=xterm", "TMUX"};
    return run_program(args, o);
}

std::vector<std::string> tmux_terminal::screen(bool escapes)
{
    std::vector<std::string> args = {"capture-pane", "-p"};
    if (escapes)
        args.push_back("-e");
    return split_lines(tmux(args).out);
}

std::string tmux_terminal::text(bool escapes)
{
    std::string all;
    for (const std::string &row : screen(escapes))
        all += row + "\n";
    return all;
}

bool tmux_terminal::wait_for(const std::string &wanted, int timeout_ms)
{
    for (int waited = 0;; waited += 20) {
        if (text().find(wanted) != std::string::npos)
            return true;
        if (waited >= timeout_ms)
            return false;
        usleep(20000);
    }
}

void tmux_terminal::keys(const std::vector<std::string> &names)
{
    std::vector<std::string> args = {"send-keys"};
    args.insert(args.end(), names.begin(), names.end());
    tmux(args);
}

void tmux_terminal::type(const std::string &bytes)
{
    tmux({"send-keys", "-l", bytes});
}

void tmux_terminal::resize(int cols, int rows)
{
    tmux({"resize-window", "-x", std::to_string(cols), "-y", std::to_string(rows)});
}

std::string tmux_terminal::format(const std::string &f)
{
    std::string out = tmux({"display-message", "-p", f}).out;
    if (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

pid_t tmux_terminal::shell_pid()
{
    return static_cast<pid_t>(std::stol(format("#{pane_pid}")));
}

pid_t first_child(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    std::ifstream in(path);
    long child = -1;
    in >> child;
    return static_cast<pid_t>(child);
}
