// Starting or waking a user's desktop agent. The wake step runs as the user,
// so it can only ever signal the user's own processes, and it checks the
// process's command line so that a stale ready file whose process ID was
// reused never makes kelv signal an unrelated program.
#include "core.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const int64_t largest_pid = 4194304;
const int wake_time_limit = 5;
const int start_time_limit = 5;

struct wake_request {
    unsigned uid;
    const char *helper; // path of kelvora-user
};

int wake_step(void *arg)
{
    const wake_request &w = *static_cast<wake_request *>(arg);
    char path[64];
    snprintf(path, sizeof path, "/run/user/%u/kelvora-agent.ready", w.uid);
    textbuf ready;
    int64_t pid;
    if (read_file(path, 64, true, ready) < 0 || !parse_ready_file(textbuf_str(ready), ready.len, pid))
        return 1;
    snprintf(path, sizeof path, "/proc/%lld/cmdline", static_cast<long long>(pid));
    textbuf cmdline;
    if (read_file(path, 4096, false, cmdline) < 0)
        return 1;
    size_t helper_len = strlen(w.helper);
    // Exactly "HELPER\0agent\0".
    if (cmdline.len != helper_len + 7 || memcmp(cmdline.data, w.helper, helper_len + 1) != 0 ||
        memcmp(cmdline.data + helper_len + 1, "agent", 6) != 0)
        return 1;
    return kill(static_cast<pid_t>(pid), SIGUSR1) == 0 ? 0 : 1;
}

} // namespace

bool parse_ready_file(const char *bytes, size_t len, int64_t &pid)
{
    const char *nl = static_cast<const char *>(memchr(bytes, '\n', len));
    size_t first = nl ? static_cast<size_t>(nl - bytes) : len;
    char number[20];
    if (first == 0 || first >= sizeof number)
        return false;
    memcpy(number, bytes, first);
    number[first] = '\0';
    int64_t value;
    if (strlen(number) != first || !parse_number(number, value) || value < 2 || value > largest_pid)
        return false;
    pid = value;
    return true;
}

void start_agent(const user_info &u)
{
    if (test_mode || !has_desktop_session(u.uid))
        return;
    char *helper = xasprintf("%s/kelvora-user", lib_dir);
    wake_request w = {u.uid, helper};
    if (run_as_user(u, wake_step, &w, nullptr, nullptr, 0, wake_time_limit) == 0) {
        free(helper);
        return;
    }
    char *machine = xasprintf("--machine=%s@.host", u.name);
    const char *args[] = {"systemd-run", "--user", machine, "--collect", "--quiet", helper, "agent", nullptr};
    fflush(stdout);
    fflush(stderr);
    child_process c;
    c.pid = fork();
    if (c.pid == 0) {
        // Nothing of what it says reaches the administrator: its messages
        // come from the user's manager and may carry anything.
        int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0)
            _exit(127);
        execvp(args[0], const_cast<char **>(args));
        _exit(127);
    }
    // A user whose manager or bus never answers costs the command this long.
    int status;
    if (c.pid > 0 && !child_wait_until(c, monotonic_ms() + start_time_limit * 1000, status))
        child_abandon(c);
    free(machine);
    free(helper);
}
