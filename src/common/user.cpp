// Users and groups, the children kelv forks and how it takes a user's
// identity in one of them for good (become_user). Nothing here allocates
// through the C++ library: the prompt helper links this file and must load
// the C library alone.
#include "common.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

user_info::~user_info() { user_info_free(*this); }

void user_info_free(user_info &u)
{
    free(u.name);
    u.name = nullptr;
    u.uid = 0;
    u.gid = 0;
}

// Paths are built from account names (D/users/NAME): a name that is not one
// path component is refused before any path is made of it.
static bool fill_user(struct passwd *pw, user_info &u)
{
    if (!pw)
        return false;
    const char *n = pw->pw_name;
    if (!*n || strchr(n, '/') || strcmp(n, ".") == 0 || strcmp(n, "..") == 0) {
        errno = EINVAL;
        return false;
    }
    u.name = xstrdup(pw->pw_name);
    u.uid = pw->pw_uid;
    u.gid = pw->pw_gid;
    return true;
}

bool user_lookup(const char *name, user_info &u)
{
    user_info_free(u);
    errno = 0;
    return fill_user(getpwnam(name), u);
}

bool user_lookup_uid(uid_t uid, user_info &u)
{
    user_info_free(u);
    errno = 0;
    return fill_user(getpwuid(uid), u);
}

int64_t login_defs_value(const char *key, int64_t def)
{
    textbuf b;
    if (read_file("/etc/login.defs", 1048576, false, b) < 0 || !b.data)
        return def;
    int64_t value = def;
    const char *p = b.data;
    while (*p) {
        const char *nl = strchr(p, '\n');
        size_t len = nl ? static_cast<size_t>(nl - p) : strlen(p);
        // One line at a time: the scan must not run on into the next line.
        char *line = xstrndup(p, len);
        char word[64];
        long number;
        if (sscanf(line, "%63s %ld", word, &number) == 2 && strcmp(word, key) == 0)
            value = number;
        free(line);
        p += len + (nl ? 1 : 0);
    }
    return value;
}

static bool shell_is_human(const char *shell)
{
    size_t n = shell ? strlen(shell) : 0;
    if (n >= 7 && strcmp(shell + n - 7, "nologin") == 0)
        return false;
    if (n >= 5 && strcmp(shell + n - 5, "false") == 0)
        return false;
    return true;
}

void list_human_users(strlist &out)
{
    int64_t min = login_defs_value("UID_MIN", 1000);
    int64_t max = login_defs_value("UID_MAX", 60000);
    setpwent();
    while (struct passwd *pw = getpwent()) {
        int64_t uid = pw->pw_uid;
        if (uid < min || uid > max || !shell_is_human(pw->pw_shell))
            continue;
        if (!strlist_contains(out, pw->pw_name))
            strlist_push_copy(out, pw->pw_name);
    }
    endpwent();
    strlist_sort(out);
}

bool list_group_members(const char *group, strlist &out)
{
    struct group *gr = getgrnam(group);
    if (!gr)
        return false;
    gid_t gid = gr->gr_gid;
    for (char **m = gr->gr_mem; *m; m++)
        if (!strlist_contains(out, *m))
            strlist_push_copy(out, *m);
    setpwent();
    while (struct passwd *pw = getpwent())
        if (pw->pw_gid == gid && !strlist_contains(out, pw->pw_name))
            strlist_push_copy(out, pw->pw_name);
    endpwent();
    return true;
}

child_process::~child_process()
{
    if (pid > 0)
        child_abandon(*this);
}

int child_wait(child_process &c)
{
    int status;
    for (;;) {
        if (waitpid(c.pid, &status, 0) >= 0) {
            c.pid = -1;
            return status;
        }
        if (errno != EINTR)
            return -1;
    }
}

namespace {

// Children that did not end when killed: a process asleep in a file system
// that never answers cannot die until the request ends. They are reaped by a
// later look, or by init once this process has ended.
pid_t abandoned[64];

void reap_abandoned()
{
    for (pid_t &p : abandoned)
        if (p > 0 && waitpid(p, nullptr, WNOHANG) != 0)
            p = 0;
}

void remember_abandoned(pid_t pid)
{
    reap_abandoned();
    for (pid_t &p : abandoned)
        if (p <= 0) {
            p = pid;
            return;
        }
}

} // namespace

bool child_wait_until(child_process &c, int64_t deadline, int &status)
{
    // A pidfd wakes us the moment the child ends; without one, look again
    // every 10 ms.
    unique_fd ended(static_cast<int>(syscall(SYS_pidfd_open, c.pid, 0)));
    for (;;) {
        pid_t r = waitpid(c.pid, &status, WNOHANG);
        if (r == c.pid || (r < 0 && errno != EINTR)) {
            if (r < 0)
                status = -1;
            c.pid = -1;
            return true;
        }
        int64_t left = deadline - monotonic_ms();
        if (left <= 0)
            return false;
        if (r == 0 && ended.valid()) {
            struct pollfd p = {ended.get(), POLLIN, 0};
            poll(&p, 1, static_cast<int>(left < 1000 ? left : 1000));
        } else if (r == 0) {
            struct timespec ten_ms = {0, 10 * 1000 * 1000};
            nanosleep(&ten_ms, nullptr);
        }
    }
}

void child_leave(child_process &c)
{
    if (c.pid <= 0)
        return;
    kill(c.pid, SIGKILL);
    remember_abandoned(c.pid);
    c.pid = -1;
}

void child_reap_left() { reap_abandoned(); }

void child_abandon(child_process &c)
{
    if (c.pid <= 0)
        return;
    kill(c.pid, SIGKILL);
    int status;
    if (!child_wait_until(c, monotonic_ms() + 500, status)) {
        remember_abandoned(c.pid);
        c.pid = -1;
    }
}

gid_t *user_groups(const user_info &u, int &count)
{
    int n = 64;
    for (;;) {
        gid_t *groups = static_cast<gid_t *>(xmalloc(static_cast<size_t>(n) * sizeof *groups));
        int want = n;
        if (getgrouplist(u.name, u.gid, groups, &want) >= 0) {
            count = want;
            return groups;
        }
        free(groups);
        if (want <= n)
            return nullptr;
        n = want;
    }
}

bool become_user(const user_info &u, const gid_t *groups, int count)
{
    if (!groups || setgroups(static_cast<size_t>(count), groups) < 0 || setresgid(u.gid, u.gid, u.gid) < 0 ||
        setresuid(u.uid, u.uid, u.uid) < 0)
        return false;
    uid_t r, e, s;
    gid_t rg, eg, sg;
    if (getresuid(&r, &e, &s) < 0 || getresgid(&rg, &eg, &sg) < 0)
        return false;
    if (r != u.uid || e != u.uid || s != u.uid || eg != u.gid || rg != u.gid || sg != u.gid)
        return false;
    return setuid(0) < 0;
}

