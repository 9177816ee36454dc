#include "tmux.h"

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace {

std::string unique_socket()
{
    static int sessions = 0;
    return "kelv-test-" + std::to_string(getpid()) + "-" + std::to_string(++sessions);
}

} // namespace

tmux_session::tmux_session(int cols, int rows, const std::string &command, runner run)
    : socket_(unique_socket()), run_(run ? run : [](const std::vector<std::string> &argv) {
          return run_program(argv);
      })
{
    run_result r = tmux({"new-session", "-d", "-x", std::to_string(cols), "-y", std::to_string(rows), "sh", "-c",
                         command});
    if (r.status != 0)
        throw std::runtime_error("tmux new-session: " + r.err);
}

tmux_session::~tmux_session() { tmux({"kill-server"}); }

run_result tmux_session::tmux(std::vector<std::string> args) const
{
    args.insert(args.begin(), {"tmux", "-f", "/dev/null", "-L", socket_});
    return run_(args);
}

std::string tmux_session::screen(bool styles) const
{
    std::vector<std::string> args = {"capture-pane", "-p"};
    if (styles)
        args.push_back("-e");
    return tmux(args).out;
}

bool tmux_session::wait_for(const std::string &text, int timeout_ms) const
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (screen().find(text) != std::string::npos)
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool tmux_session::wait_gone(const std::string &text, int timeout_ms) const
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (screen().find(text) == std::string::npos)
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void tmux_session::keys(const std::vector<std::string> &names) const
{
    std::vector<std::string> args = {"send-keys"};
    args.insert(args.end(), names.begin(), names.end());
    tmux(args);
}

void tmux_session::type(const std::string &text) const { tmux({"send-keys", "-l", text}); }

void tmux_session::resize(int cols, int rows) const
{
    tmux({"resize-window", "-x", std::to_string(cols), "-y", std::to_string(rows)});
}

pid_t tmux_session::pane_pid() const
{
    return static_cast<pid_t>(std::stol(tmux({"display-message", "-p", "#{pane_pid}"}).out));
}

std::string tmux_session::pane_title() const
{
    std::string t = tmux({"display-message", "-p", "#{pane_title}"}).out;
    return t.substr(0, t.find('\n'));
}

pid_t first_child(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    long child = -1;
    in >> child;
    return static_cast<pid_t>(child);
}
