// Users, groups, and the one way root does anything on a user's behalf:
// run_as_user, a forked child that takes the user's identity for good before
// it touches anything, and is killed when it overruns its time.
#include "common.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <span>
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

namespace {

const int identity_failed = 126;

} // namespace

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

namespace {

// The child's whole life: system calls, the function, _exit. It keeps no
// descriptor of the parent's but its pipes (a lock of the parent's held by a
// child that outlives its time would block every later command), and it dies
// with the parent, so that no work of a killed command goes on behind the
// back of the command that comes next.
[[noreturn]] void run_child(const user_info &u, const gid_t *groups, int count, pid_t parent, int (*fn)(void *),
                           void *arg, int in_fd, int out_fd)
{
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0)
        _exit(identity_failed);
    if (dup2(in_fd >= 0 ? in_fd : null, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(null, 2) < 0)
        _exit(identity_failed);
    if (close_range(3, ~0U, 0) < 0)
        _exit(identity_failed);
    if (geteuid() == 0 && !test_mode && !become_user(u, groups, count))
        _exit(identity_failed);
    // Set after the identity change, which clears it.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) < 0 || getppid() != parent)
        _exit(identity_failed);
    if (chdir("/") < 0)
        _exit(identity_failed);
    umask(022);
    signal(SIGPIPE, SIG_DFL);
    int rc = fn(arg);
    fflush(stdout);
    _exit(rc & 0xff);
}

} // namespace

namespace {

// The helper links this file and must not need the C++ runtime: the children
// at once and their poll entries live in fixed arrays, never on the heap.
const size_t most_at_once = 64;

// A run whose child has started: the parent's ends of its pipes and what
// has been written to it so far.
struct running {
    user_run *run = nullptr;
    child_process child;
    unique_fd out;   // the child's standard output, until its end
    unique_fd in;    // its standard input, until everything is written
    unique_fd ended; // readable once the child has ended (a pidfd), if any
    int64_t deadline = 0;
    size_t written = 0;
    bool reading = false;
};

// Forks the child of r into slot; false when it cannot be started.
bool start_run(user_run &r, running &slot)
{
    slot.deadline = monotonic_ms() + static_cast<int64_t>(r.time_limit) * 1000;
    fd_pair out, in;
    if (make_pipe(out) < 0 || (r.input && make_pipe(in) < 0))
        return false;

    bool changing = geteuid() == 0 && !test_mode;
    int group_count = 0;
    gid_t *groups = changing ? user_groups(*r.user, group_count) : nullptr;

    pid_t parent = getpid();
    fflush(stdout);
    fflush(stderr);
    slot.child.pid = fork();
    if (slot.child.pid < 0) {
        free(groups);
        return false;
    }
    if (slot.child.pid == 0)
        run_child(*r.user, groups, group_count, parent, r.fn, r.arg, r.input ? in.read_end.get() : -1,
                  out.write_end.get());
    free(groups);

    slot.run = &r;
    slot.out = std::move(out.read_end);
    slot.in = std::move(in.write_end);
    slot.ended.reset(static_cast<int>(syscall(SYS_pidfd_open, slot.child.pid, 0)));
    slot.written = 0;
    slot.reading = true;
    if (slot.in.valid()) {
        fcntl(slot.in.get(), F_SETFL, O_NONBLOCK);
        if (r.input->len == 0)
            slot.in.reset();
    }
    return true;
}

// The end of reading from the child: what it has not read of its input is
// not given to it any more.
void stop_reading(running &slot)
{
    slot.reading = false;
    slot.out.reset();
    slot.in.reset();
}

void write_input(running &slot, short revents)
{
    const textbuf &input = *slot.run->input;
    if (!(revents & POLLOUT)) {
        slot.in.reset();
        return;
    }
    ssize_t w = write(slot.in.get(), input.data + slot.written, input.len - slot.written);
    if (w > 0)
        slot.written += static_cast<size_t>(w);
    if ((w < 0 && errno != EAGAIN && errno != EINTR) || slot.written == input.len)
        slot.in.reset();
}

void read_output(running &slot)
{
    char chunk[8192];
    ssize_t r = read(slot.out.get(), chunk, sizeof chunk);
    if (r == 0 || (r < 0 && errno != EINTR)) {
        stop_reading(slot);
        return;
    }
    textbuf *output = slot.run->output;
    if (r > 0 && output && output->len < slot.run->output_limit) {
        size_t room = slot.run->output_limit - output->len;
        textbuf_append(*output, chunk, static_cast<size_t>(r) < room ? static_cast<size_t>(r) : room);
    }
}

void finish(running &slot, int result)
{
    slot.run->result = result;
    slot.run = nullptr;
    slot.out.reset();
    slot.in.reset();
    slot.ended.reset();
}

// After the child's output has ended: its result once it has ended too.
void look_for_end(running &slot)
{
    int status;
    pid_t r = waitpid(slot.child.pid, &status, WNOHANG);
    if (r == 0 || (r < 0 && errno == EINTR))
        return;
    slot.child.pid = -1;
    if (r < 0 || !WIFEXITED(status) || WEXITSTATUS(status) == identity_failed)
        finish(slot, -1);
    else
        finish(slot, WEXITSTATUS(status));
}

// Waits for something to happen to the running children, up to the nearest
// deadline, and handles it.
void wait_for_children(std::span<running> slots)
{
    struct pollfd fds[2 * most_at_once];
    running *owners[2 * most_at_once];
    size_t count = 0;
    auto watch = [&](int fd, short events, running &s) {
        fds[count] = {fd, events, 0};
        owners[count++] = &s;
    };
    int64_t now_ms = monotonic_ms();
    int64_t wait_ms = 1000;
    for (running &s : slots) {
        if (!s.run)
            continue;
        wait_ms = std::min(wait_ms, std::max<int64_t>(s.deadline - now_ms, 0));
        if (s.reading) {
            watch(s.out.get(), POLLIN, s);
            if (s.in.valid())
                watch(s.in.get(), POLLOUT, s);
        } else if (s.ended.valid()) {
            watch(s.ended.get(), POLLIN, s);
        } else {
            // No pidfd: look again every 10 ms.
            wait_ms = std::min<int64_t>(wait_ms, 10);
        }
    }
    int n = poll(fds, count, static_cast<int>(wait_ms));
    if (n < 0 && errno != EINTR) {
        // Reading is over; each child still has until its deadline to end.
        for (running &s : slots)
            if (s.run && s.reading)
                stop_reading(s);
        return;
    }
    for (size_t i = 0; n > 0 && i < count; i++) {
        running &s = *owners[i];
        if (!fds[i].revents || !s.reading)
            continue;
        if (fds[i].fd == s.in.get())
            write_input(s, fds[i].revents);
        else if (fds[i].fd == s.out.get())
            read_output(s);
    }
}

} // namespace

size_t usable_cores()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<size_t>(CPU_COUNT(&set));
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<size_t>(n) : 1;
}

void run_as_users(user_run *runs, size_t count, size_t parallel)
{
    reap_abandoned();
    // A child may end before it has read its input: a write to its pipe must
    // fail with EPIPE here instead of killing the caller.
    struct sigaction saved;
    catch_signal(SIGPIPE, SIG_IGN, &saved);

    running all[most_at_once];
    std::span<running> slots(all, std::clamp<size_t>(std::min(parallel, count), 1, most_at_once));
    size_t next = 0;
    for (;;) {
        bool active = false;
        for (running &s : slots) {
            while (!s.run && next < count) {
                user_run &r = runs[next++];
                r.result = -1;
                start_run(r, s);
            }
            active = active || s.run;
        }
        if (!active)
            break;
        wait_for_children(slots);
        int64_t now_ms = monotonic_ms();
        for (running &s : slots) {
            if (s.run && !s.reading)
                look_for_end(s);
            // A child that overran its time is killed; one that does not die
            // (asleep in a file system that never answers) is left behind:
            // the limit bounds the caller's wait, whatever the child does.
            if (s.run && s.deadline - now_ms < 1) {
                child_abandon(s.child);
                finish(s, -1);
            }
        }
    }
    sigaction(SIGPIPE, &saved, nullptr);
}

int run_as_user(const user_info &u, int (*fn)(void *), void *arg, const textbuf *input, textbuf *output,
                size_t output_limit, int time_limit)
{
    user_run r;
    r.user = &u;
    r.fn = fn;
    r.arg = arg;
    r.input = input;
    r.output = output;
    r.output_limit = output_limit;
    r.time_limit = time_limit;
    run_as_users(&r, 1, 1);
    return r.result;
}

namespace {

struct file_request {
    const char *path;
    size_t limit;
    bool nofollow;
};

// In the child, as the user: the file on standard output, or its errno as
// the exit status.
int read_file_step(void *arg)
{
    const file_request &r = *static_cast<const file_request *>(arg);
    textbuf b;
    if (read_file(r.path, r.limit, r.nofollow, b) < 0)
        return errno > 0 && errno < identity_failed ? errno : EIO;
    return write_all(1, textbuf_str(b), b.len) == 0 ? 0 : EIO;
}

} // namespace

int read_file_as_user(const user_info &u, const char *path, size_t limit, bool nofollow, textbuf &out,
                      int time_limit)
{
    file_request r = {path, limit, nofollow};
    int rc = run_as_user(u, read_file_step, &r, nullptr, &out, limit, time_limit);
    if (rc != 0)
        errno = rc > 0 ? rc : EIO;
    return rc == 0 ? 0 : -1;
}
