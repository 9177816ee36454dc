#include "tmux.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace {

// A server name of its own per session: tmux keeps its socket in the
// running user's /tmp/tmux-UID, which root and a test user each can create.
std::string unique_socket()
{
    static int sessions = 0;
    return "kelv-test-" + std::to_string(getpid()) + "-" + std::to_string(++sessions);
}

} // namespace

tmux_session::tmux_session(int cols, int rows, const std::string &command, runner run)
    : socket_(unique_socket()),
      run_(run ? run : [](const std::vector<std::string> &argv, const run_options &opt) {
          return run_program(argv, opt);
      })
{
    run_result r = tmux({"new-session", "-d", "-x", std::to_string(cols), "-y", std::to_string(rows),
                         "sh", "-c", command, ";", "set", "-g", "status", "off"});
    if (r.status != 0)
        throw std::runtime_error("tmux new-session: " + r.err);
}

tmux_session::~tmux_session()
{
    // Whatever still runs in the pane is killed outright first: the hangup
    // of kill-server would end it through its exit path, where a sanitizer
    // build's leak check can hang for ever once its terminal is gone.
    std::string pid = format("#{pane_pid}");
    if (!pid.empty() && pid.find_first_not_of("0123456789") == std::string::npos)
        kill(-static_cast<pid_t>(std::stol(pid)), SIGKILL);
    tmux({"kill-server"});
}

run_result tmux_session::tmux(std::vector<std::string> args) const
{
    args.insert(args.begin(), {"tmux", "-f", "/dev/null", "-L", socket_});
    run_options o;
    o.env = {"LC_ALL=C.UTF-8", "TERM=xterm", "TMUX"};
    return run_(args, o);
}

std::vector<std::string> tmux_session::rows(bool styles) const
{
    std::vector<std::string> args = {"capture-pane", "-p"};
    if (styles)
        args.push_back("-e");
    return split_lines(tmux(args).out);
}

std::string tmux_session::screen(bool styles) const
{
    std::string all;
    for (const std::string &row : rows(styles))
        all += row + "\n";
    return all;
}

bool tmux_session::wait_until(const std::string &text, bool present, int timeout_ms) const
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if ((screen().find(text) != std::string::npos) == present)
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool tmux_session::wait_for(const std::string &text, int timeout_ms) const
{
    return wait_until(text, true, timeout_ms);
}

bool tmux_session::wait_gone(const std::string &text, int timeout_ms) const
{
    return wait_until(text, false, timeout_ms);
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

std::string tmux_session::format(const std::string &f) const
{
    std::string out = tmux({"display-message", "-p", f}).out;
    if (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

pid_t tmux_session::pane_pid() const { return static_cast<pid_t>(std::stol(format("#{pane_pid}"))); }

std::string shell_stty(const tmux_session &t, const std::string &dir)
{
    static int calls = 0;
    std::string file = dir + "/stty." + std::to_string(++calls);
    // Written aside and renamed: the file appears whole or not at all.
    t.type("stty -g > " + file + ".tmp && mv " + file + ".tmp " + file);
    t.keys({"Enter"});
    for (int i = 0; i < 250 && !exists(file); i++)
        usleep(20000);
    return exists(file) ? read_text(file) : "";
}

pid_t first_child(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    long child = -1;
    in >> child;
    return static_cast<pid_t>(child);
}
