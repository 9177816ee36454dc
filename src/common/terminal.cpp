// Terminals and sessions: who is logged in, which terminals belong to a user,
// whether a desktop can host the agent, and writing onto another user's
// terminal without ever letting that terminal block the sender.
//
// Login-manager failures only shrink the answers: no sessions means nobody
// online, pseudo-terminals only, and no desktop.
#include "common.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

const int64_t terminal_budget_ms = 3000;

// The login manager's session identifiers, released with the record.
struct session_list {
    char **ids = nullptr;
    int count = 0;

    session_list()
    {
        const systemd_api *sd = systemd();
        if (sd) {
            count = sd->get_sessions(&ids);
            if (count < 0)
                count = 0;
        }
    }
    session_list(const session_list &) = delete;
    session_list &operator=(const session_list &) = delete;
    ~session_list()
    {
        for (int i = 0; i < count; i++)
            free(ids[i]);
        free(ids);
    }
};

// A string answer of the login manager: owned, NULL when it cannot be read.
struct sd_string {
    char *value = nullptr;
    sd_string() = default;
    sd_string(const sd_string &) = delete;
    sd_string &operator=(const sd_string &) = delete;
    ~sd_string() { free(value); }
    bool read(int (*query)(const char *, char **), const char *session)
    {
        return query(session, &value) >= 0 && value;
    }
    bool is(const char *s) const { return value && strcmp(value, s) == 0; }
};

bool session_uid_is(const systemd_api *sd, const char *session, uid_t uid)
{
    uid_t u;
    return sd->session_get_uid(session, &u) >= 0 && u == uid;
}

bool is_console_name(const char *tty)
{
    return strncmp(tty, "tty", 3) == 0 && is_all_digits(tty + 3);
}

} // namespace

void list_online_users(strlist &out)
{
    session_list sessions;
    if (sessions.count == 0)
        return;
    const systemd_api *sd = systemd();
    strlist humans;
    list_human_users(humans);
    for (int i = 0; i < sessions.count; i++) {
        sd_string cls;
        uid_t uid;
        if (!cls.read(sd->session_get_class, sessions.ids[i]) || !cls.is("user") ||
            sd->session_get_uid(sessions.ids[i], &uid) < 0)
            continue;
        struct passwd *pw = getpwuid(uid);
        if (pw && strlist_contains(humans, pw->pw_name) && !strlist_contains(out, pw->pw_name))
            strlist_push_copy(out, pw->pw_name);
    }
    strlist_sort(out);
}

void list_user_terminals(uid_t uid, strlist &out)
{
    if (test_mode) {
        const char *tty = getenv("KELV_TEST_TTY");
        if (tty && *tty)
            strlist_push_copy(out, tty);
        strlist_sort(out);
        return;
    }
    if (DIR *d = opendir("/dev/pts")) {
        while (struct dirent *e = readdir(d)) {
            if (!is_all_digits(e->d_name))
                continue;
            char *path = xasprintf("/dev/pts/%s", e->d_name);
            struct stat st;
            if (lstat(path, &st) == 0 && S_ISCHR(st.st_mode) && st.st_uid == uid)
                strlist_push(out, path);
            else
                free(path);
        }
        closedir(d);
    }
    session_list sessions;
    const systemd_api *sd = systemd();
    for (int i = 0; i < sessions.count; i++) {
        sd_string type, tty;
        if (!session_uid_is(sd, sessions.ids[i], uid) || !type.read(sd->session_get_type, sessions.ids[i]) ||
            !type.is("tty") || !tty.read(sd->session_get_tty, sessions.ids[i]) || !is_console_name(tty.value))
            continue;
        char *path = xasprintf("/dev/%s", tty.value);
        if (strlist_contains(out, path))
            free(path);
        else
            strlist_push(out, path);
    }
    strlist_sort(out);
}

bool has_desktop_session(uid_t uid)
{
    session_list sessions;
    const systemd_api *sd = systemd();
    for (int i = 0; i < sessions.count; i++) {
        sd_string type, state;
        if (!session_uid_is(sd, sessions.ids[i], uid) || !type.read(sd->session_get_type, sessions.ids[i]) ||
            !(type.is("x11") || type.is("wayland")))
            continue;
        if (!state.read(sd->session_get_state, sessions.ids[i]) || !state.is("closing"))
            return true;
    }
    return false;
}

namespace {

// A terminal being written: its descriptor (-1: failed) and how much of the
// text it took.
struct terminal_write {
    int fd;
    size_t done;
};

// Opens the terminal at path for writing when it belongs to uid and is a
// terminal device (any file in test mode). The descriptor, not the path, is
// checked: what was opened is what is written to, even if the name changed
// hands in between.
int open_terminal(const char *path, uid_t uid)
{
    unique_fd fd(open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) < 0 || st.st_uid != uid || (!test_mode && !S_ISCHR(st.st_mode)))
        return -1;
    return fd.release();
}

// Writes what the terminal takes now; false when it failed for good.
bool write_some(terminal_write &t, const char *bytes, size_t n)
{
    while (t.done < n) {
        ssize_t w = write(t.fd, bytes + t.done, n - t.done);
        if (w > 0)
            t.done += static_cast<size_t>(w);
        else if (w == 0 || errno == EAGAIN || errno == EINTR)
            return true; // it takes nothing now: output stopped, nobody reading
        else
            return false;
    }
    return true;
}

} // namespace

size_t write_terminals(const strlist &paths, uid_t uid, const void *bytes, size_t n)
{
    const char *text = static_cast<const char *>(bytes);
    size_t slots = paths.count ? paths.count : 1;
    terminal_write *ttys = static_cast<terminal_write *>(xmalloc(slots * sizeof *ttys));
    pollfd *waiting = static_cast<pollfd *>(xmalloc(slots * sizeof *waiting));
    for (size_t i = 0; i < paths.count; i++)
        ttys[i] = {open_terminal(paths.items[i], uid), 0};
    // All of them at once, against one budget: however many of the user's
    // terminals are stopped, the user costs the sender about three seconds.
    int64_t deadline = monotonic_ms() + terminal_budget_ms;
    for (;;) {
        size_t pending = 0;
        for (size_t i = 0; i < paths.count; i++) {
            terminal_write &t = ttys[i];
            if (t.fd < 0 || t.done == n)
                continue;
            if (!write_some(t, text, n)) {
                close(t.fd);
                t.fd = -1;
            } else if (t.done < n) {
                waiting[pending++] = {t.fd, POLLOUT, 0};
            }
        }
        int64_t left = deadline - monotonic_ms();
        if (pending == 0 || left <= 0)
            break;
        poll(waiting, pending, static_cast<int>(left < 100 ? left : 100));
    }
    size_t written = 0;
    for (size_t i = 0; i < paths.count; i++) {
        if (ttys[i].fd >= 0) {
            written += ttys[i].done == n;
            close(ttys[i].fd);
        }
    }
    free(waiting);
    free(ttys);
    return written;
}

bool write_terminal(const char *path, uid_t uid, const void *bytes, size_t n)
{
    strlist one;
    strlist_push_copy(one, path);
    return write_terminals(one, uid, bytes, n) == 1;
}
