// The desktop agent: one per user (a flock on its lock file), found by kelv
// through its ready file. It makes passes over the mailbox, shows each
// pending message in a dialog, records the answer, and sleeps until the next
// poll or until kelv wakes it with SIGUSR1.
//
// The five signals it handles are blocked for its whole life and let through
// only inside ppoll, so a signal that arrives between the test of a flag and
// the wait still ends that wait at once.
#include "user.h"

#include <cerrno>
#include <clocale>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

const int handled_signals[] = {SIGCHLD, SIGUSR1, SIGTERM, SIGHUP, SIGINT};
const int stop_grace_seconds = 2;
const int64_t notify_time_limit_ms = 5000;

sigset_t wait_mask;
char *ready_path;

void on_stop(int) { stop_requested = 1; }
void on_child(int) {}

void remove_ready_file()
{
    if (ready_path)
        unlink(ready_path);
}

// The user's runtime directory: XDG_RUNTIME_DIR, else /run/user/UID when it
// is the user's own; NULL without one. Never the shared /tmp, where another
// user could hold the agent's lock or answer for its display.
const char *runtime_dir()
{
    static char fallback[64];
    const char *dir = getenv("XDG_RUNTIME_DIR");
    if (dir && *dir)
        return dir;
    snprintf(fallback, sizeof fallback, "/run/user/%u", static_cast<unsigned>(getuid()));
    struct stat st;
    if (lstat(fallback, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid())
        return fallback;
    return nullptr;
}

// Waits up to ms milliseconds with the handled signals let through.
void timed_wait(int ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    ppoll(nullptr, 0, &t, &wait_mask);
}

// In a child about to exec: the program gets default signals, none blocked.
void reset_signals_for_exec()
{
    for (int sig : handled_signals)
        signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// zenity and notify-send read their arguments in the character set of the
// locale, and refuse text that is not valid in it; the titles and messages
// are UTF-8. A session without a UTF-8 locale (no LANG at all, or plain C)
// would fail every dialog, and the message would never reach the desktop:
// give the programs a UTF-8 locale then.
void prefer_utf8_for_children()
{
    bool utf8 = setlocale(LC_CTYPE, "") && strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    setlocale(LC_CTYPE, "C");
    if (!utf8)
        setenv("LC_ALL", "C.UTF-8", 1);
}

pid_t start_dialog(const char *text)
{
    char *title = xasprintf("--title=%s", "Kelvora · Message from the administrator");
    char *body = xasprintf("--text=%s", text);
    char *ok = xasprintf("--ok-label=%s", "I have read it");
    char *later = xasprintf("--cancel-label=%s", "Later");
    const char *args[] = {"zenity", "--question", "--no-markup", "--width=460", title, body, ok, later, nullptr};
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        reset_signals_for_exec();
        if (null >= 0)
            dup2(null, 2);
        execvp(args[0], const_cast<char **>(args));
        _exit(127);
    }
    free(title);
    free(body);
    free(ok);
    free(later);
    return pid;
}

void notify_not_recorded()
{
    const char *args[] = {"notify-send", "-a", "Kelvora", "Kelvora · Confirmation not recorded",
                          "The confirmation could not be recorded: the message will be shown again.", nullptr};
    fflush(stdout);
    child_process c;
    c.pid = fork();
    if (c.pid == 0) {
        int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        reset_signals_for_exec();
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execvp(args[0], const_cast<char **>(args));
        _exit(127);
    }
    // A notification program that hangs neither stalls the agent nor keeps
    // it from stopping: the destructor ends it after this.
    int64_t deadline = monotonic_ms() + notify_time_limit_ms;
    while (c.pid > 0 && !stop_requested && monotonic_ms() < deadline) {
        if (waitpid(c.pid, nullptr, WNOHANG) != 0)
            c.pid = -1;
        else
            timed_wait(100);
    }
}

// Watches the dialog of message n until it ends: closes it when the message
// is confirmed elsewhere, revoked or expired, and, once a stop is requested,
// after a grace period. False when its end could not be learnt.
bool watch_dialog(int64_t n, pid_t pid, int &status)
{
    bool told = false;
    int64_t deadline = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
        if (!told && (record_exists(n) || !copy_present(n) || copy_expired(n))) {
            kill(pid, SIGTERM);
            told = true;
        }
        if (stop_requested) {
            if (!deadline)
                deadline = now() + stop_grace_seconds;
            if (now() >= deadline && !told) {
                kill(pid, SIGTERM);
                told = true;
            }
        }
        timed_wait(1000);
    }
}

void show_pending(int64_t n)
{
    if (recently_postponed(n, "gui"))
        return;
    char *path = xasprintf("%s/inbox/%lld", mailbox_dir, static_cast<long long>(n));
    message m;
    int rc = message_read(path, m);
    free(path);
    if (rc < 0)
        return;
    textbuf text;
    message_heading(m, text);
    textbuf_printf(text, "\n\n%s", m.text);
    pid_t pid = start_dialog(text.data);
    if (pid < 0)
        return;
    int status = 0;
    bool ended = watch_dialog(n, pid, status);

    if (record_exists(n) || !copy_present(n))
        return; // confirmed elsewhere, or revoked
    if (copy_expired(n)) {
        archive_copy(n);
        return;
    }
    if (!ended || WIFSIGNALED(status) || !WIFEXITED(status))
        return;
    if (WEXITSTATUS(status) == 0) {
        if (confirm_message(n, "desktop") == confirm_failed && copy_present(n))
            notify_not_recorded();
    } else if (WEXITSTATUS(status) == 1 && !stop_requested && display_reachable()) {
        postpone_message(n, "gui");
    }
}

void run_pass()
{
    wake_requested = 0;
    config_load(settings);
    strlist pending;
    collect_pending(pending);
    for (size_t i = 0; i < pending.count && !stop_requested; i++) {
        int64_t n;
        if (!display_reachable())
            return; // the rest waits for a later pass
        if (parse_number(pending.items[i], n))
            show_pending(n);
    }
}

void sleep_until_next_pass()
{
    for (int64_t left = settings.agent_poll * 1000; left > 0 && !wake_requested && !stop_requested; left -= 1000)
        timed_wait(left < 1000 ? static_cast<int>(left) : 1000);
}

} // namespace

bool socket_connectable(const char *path)
{
    size_t len = strlen(path);
    struct sockaddr_un addr = {};
    if (len >= sizeof addr.sun_path)
        return true; // cannot be tested: taken as reachable
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path, len);
    if (path[0] == '@')
        addr.sun_path[0] = '\0'; // the abstract namespace
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return true;
    bool ok = connect(fd, reinterpret_cast<struct sockaddr *>(&addr),
                      static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len)) == 0;
    close(fd);
    return ok;
}

bool display_reachable()
{
    if (!has_desktop_session(getuid()))
        return false;
    const char *wayland = getenv("WAYLAND_DISPLAY");
    if (wayland && *wayland) {
        if (wayland[0] == '/')
            return socket_connectable(wayland);
        const char *dir = runtime_dir();
        if (!dir)
            return false;
        char *path = xasprintf("%s/%s", dir, wayland);
        bool ok = socket_connectable(path);
        free(path);
        return ok;
    }
    const char *display = getenv("DISPLAY");
    if (display && display[0] == ':') {
        int number = 0;
        for (const char *p = display + 1; *p >= '0' && *p <= '9' && number < 100000; p++)
            number = number * 10 + (*p - '0');
        char path[64];
        snprintf(path, sizeof path, "@/tmp/.X11-unix/X%d", number);
        if (socket_connectable(path))
            return true;
        return socket_connectable(path + 1);
    }
    return true;
}

int agent()
{
    const char *dir = runtime_dir();
    if (!dir)
        return 0; // nowhere to be found by kelv, nor single
    char *lock_path = xasprintf("%s/kelvora-agent.lock", dir);
    int lock = open(lock_path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    free(lock_path);
    if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) < 0)
        return 0; // another agent serves this user
    // The lock descriptor stays open for the agent's whole life.

    catch_signal(SIGTERM, on_stop);
    catch_signal(SIGHUP, on_stop);
    catch_signal(SIGINT, on_stop);
    catch_signal(SIGCHLD, on_child);
    sigset_t handled;
    sigemptyset(&handled);
    for (int sig : handled_signals)
        sigaddset(&handled, sig);
    sigprocmask(SIG_BLOCK, &handled, &wait_mask);
    for (int sig : handled_signals)
        sigdelset(&wait_mask, sig);

    prefer_utf8_for_children();
    ready_path = xasprintf("%s/kelvora-agent.ready", dir);
    atexit(remove_ready_file);
    char pid[32];
    int len = snprintf(pid, sizeof pid, "%d\n", static_cast<int>(getpid()));
    if (write_file_atomic(ready_path, pid, static_cast<size_t>(len), 0644) < 0)
        return 1;

    while (!stop_requested && has_desktop_session(getuid())) {
        run_pass();
        if (stop_requested)
            break;
        sleep_until_next_pass();
    }
    return 0;
}
