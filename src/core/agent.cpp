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
    if (read_file(path, 64, true, ready) < 0 || !ready.data)
        return 1;
    if (char *nl = strchr(ready.data, '\n'))
        *nl = '\0';
    int64_t pid;
    if (!parse_number(ready.data, pid) || pid < 2 || pid > largest_pid)
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
