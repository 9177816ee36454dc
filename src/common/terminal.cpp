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

bool write_terminal(const char *path, uid_t uid, const void *bytes, size_t n)
{
    unique_fd fd(open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid())
        return false;
    // The descriptor, not the path, is checked: what was opened is what is
    // written to, even if the name changed hands in between.
    struct stat st;
    if (fstat(fd.get(), &st) < 0 || st.st_uid != uid || (!test_mode && !S_ISCHR(st.st_mode)))
        return false;
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const char *p = static_cast<const char *>(bytes);
    size_t left = n;
    while (left > 0) {
        ssize_t w = write(fd.get(), p, left);
        if (w > 0) {
            p += w;
            left -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        // The terminal takes nothing now (output stopped, nobody reading):
        // give it until the budget of about three seconds is spent.
        struct timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        if (t.tv_sec - start.tv_sec > 2)
            return false;
        struct pollfd pfd = {fd.get(), POLLOUT, 0};
        poll(&pfd, 1, 100);
    }
    return true;
}
