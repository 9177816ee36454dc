// The one way root does anything on a user's behalf: run_as_user, a forked
// child that takes the user's identity for good before it touches anything,
// and is killed when it overruns its time.
//
// Runs go through a queue that never waits by itself: run_as_users waits on
// it until every run has ended, the interface watches it in the same poll as
// its keys. Either way each child has all its bounds (identity, descriptors,
// output, time), and a child that cannot die at its limit is left behind,
// never waited for.
#include "common.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const int identity_failed = 126;
// A run at work longer than this no longer counts against the runs at work
// at once: a child stopped by its user, or asleep in a file system that never
// answers, does not hold the others up.
const int64_t slow_after_ms = 1000;

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

// A run whose child has started: the parent's ends of its pipes and what
// has been written to it so far.
struct user_run_slot {
    user_run *run = nullptr;
    child_process child;
    unique_fd out;   // the child's standard output, until its end
    unique_fd in;    // its standard input, until everything is written
    unique_fd ended; // readable once the child has ended (a pidfd), if any
    int64_t started = 0;
    int64_t deadline = 0;
    size_t written = 0;
    bool reading = false;
};

namespace {

// Forks the child of r into slot; false when it cannot be started.
bool start_run(user_run &r, user_run_slot &slot)
{
    slot.started = monotonic_ms();
    slot.deadline = slot.started + static_cast<int64_t>(r.time_limit) * 1000;
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
void stop_reading(user_run_slot &slot)
{
    slot.reading = false;
    slot.out.reset();
    slot.in.reset();
}

void write_input(user_run_slot &slot, short revents)
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

void read_output(user_run_slot &slot)
{
    char chunk[65536];
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

void finish(user_run_slot &slot, int result)
{
    slot.run->result = result;
    slot.run->ended = true;
    slot.run = nullptr;
    slot.out.reset();
    slot.in.reset();
    slot.ended.reset();
}

// After the child's output has ended: its result once it has ended too.
void look_for_end(user_run_slot &slot)
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

// Runs at work: started less than slow_after_ms ago.
size_t at_work(const user_run_queue &q, int64_t now_ms)
{
    size_t n = 0;
    for (const auto &s : q.slots)
        n += now_ms - s->started < slow_after_ms;
    return n;
}

// Starts the waiting runs that may start now; the number that could not
// start at all (and have ended with -1).
size_t start_waiting(user_run_queue &q)
{
    size_t failed = 0;
    int64_t now_ms = monotonic_ms();
    while (!q.waiting.empty() && q.slots.size() < q.most && at_work(q, now_ms) < q.parallel) {
        user_run &r = *q.waiting.front();
        q.waiting.pop_front();
        auto slot = std::make_unique<user_run_slot>();
        if (!start_run(r, *slot)) {
            r.result = -1;
            r.ended = true;
            failed++;
            continue;
        }
        q.slots.push_back(std::move(slot));
    }
    return failed;
}

// The descriptors a slot waits on.
void slot_fds(const user_run_slot &s, std::vector<struct pollfd> &fds)
{
    if (s.reading) {
        fds.push_back({s.out.get(), POLLIN, 0});
        if (s.in.valid())
            fds.push_back({s.in.get(), POLLOUT, 0});
    } else if (s.ended.valid()) {
        fds.push_back({s.ended.get(), POLLIN, 0});
    }
}

} // namespace

user_run_queue::user_run_queue() = default;
user_run_queue::~user_run_queue() { user_run_queue_clear(*this); }

void user_run_queue_add(user_run_queue &q, user_run &r)
{
    r.result = -1;
    r.ended = false;
    q.waiting.push_back(&r);
    start_waiting(q);
}

bool user_run_queue_empty(const user_run_queue &q) { return q.waiting.empty() && q.slots.empty(); }

int user_run_queue_fds(const user_run_queue &q, std::vector<struct pollfd> &fds)
{
    if (user_run_queue_empty(q))
        return -1;
    int64_t now_ms = monotonic_ms();
    int64_t wait_ms = 1000;
    for (const auto &s : q.slots) {
        wait_ms = std::min(wait_ms, std::max<int64_t>(s->deadline - now_ms, 0));
        // A run growing slow makes room for a waiting one.
        if (!q.waiting.empty() && now_ms - s->started < slow_after_ms)
            wait_ms = std::min(wait_ms, s->started + slow_after_ms - now_ms);
        if (!s->reading && !s->ended.valid())
            wait_ms = std::min<int64_t>(wait_ms, 10); // no pidfd: look again every 10 ms
        slot_fds(*s, fds);
    }
    return static_cast<int>(std::max<int64_t>(wait_ms, 0));
}

size_t user_run_queue_advance(user_run_queue &q)
{
    child_reap_left();
    // A child may end before it has read its input: a write to its pipe must
    // fail with EPIPE here instead of killing the caller.
    struct sigaction saved;
    catch_signal(SIGPIPE, SIG_IGN, &saved);

    std::vector<struct pollfd> fds;
    std::vector<user_run_slot *> owners;
    for (const auto &s : q.slots) {
        slot_fds(*s, fds);
        owners.resize(fds.size(), s.get());
    }
    int n = fds.empty() ? 0 : poll(fds.data(), fds.size(), 0);
    if (n < 0 && errno != EINTR) {
        // Reading is over; each child still has until its deadline to end.
        for (const auto &s : q.slots)
            if (s->reading)
                stop_reading(*s);
    }
    for (size_t i = 0; n > 0 && i < fds.size(); i++) {
        user_run_slot &s = *owners[i];
        if (!fds[i].revents || !s.reading)
            continue;
        if (fds[i].fd == s.in.get())
            write_input(s, fds[i].revents);
        else if (fds[i].fd == s.out.get())
            read_output(s);
    }

    size_t ended = 0;
    int64_t now_ms = monotonic_ms();
    for (const auto &s : q.slots) {
        if (s->run && !s->reading)
            look_for_end(*s);
        // A child that overran its time is killed; one that does not die at
        // once is left behind: the limit bounds the caller's wait, whatever
        // the child does.
        if (s->run && s->deadline - now_ms < 1) {
            if (q.wait_for_killed)
                child_abandon(s->child);
            else
                child_leave(s->child);
            finish(*s, -1);
        }
        ended += !s->run;
    }
    std::erase_if(q.slots, [](const auto &s) { return !s->run; });
    ended += start_waiting(q);
    sigaction(SIGPIPE, &saved, nullptr);
    return ended;
}

void user_run_queue_clear(user_run_queue &q)
{
    for (user_run *r : q.waiting) {
        r->result = -1;
        r->ended = true;
    }
    q.waiting.clear();
    for (const auto &s : q.slots) {
        child_leave(s->child);
        finish(*s, -1);
    }
    q.slots.clear();
}

void user_run_queue_release(user_run_queue &q)
{
    q.waiting.clear();
    for (const auto &s : q.slots) {
        s->child.pid = -1;
        (void)s->out.release();
        (void)s->in.release();
        (void)s->ended.release();
    }
    q.slots.clear();
}

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
    user_run_queue q;
    q.parallel = q.most = std::max<size_t>(1, parallel);
    q.wait_for_killed = true;
    child_reap_left();
    for (size_t i = 0; i < count; i++)
        user_run_queue_add(q, runs[i]);
    std::vector<struct pollfd> fds;
    while (!user_run_queue_empty(q)) {
        fds.clear();
        int wait_ms = user_run_queue_fds(q, fds);
        poll(fds.data(), fds.size(), wait_ms);
        user_run_queue_advance(q);
    }
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
