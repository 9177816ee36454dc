// Running kelv's commands from the interface. The commands end the process
// through die() when they fail; run in a forked child, such a failure ends
// only the child, and its message, captured from the child's standard output
// and error, reaches the user in a result dialog while the interface keeps
// running. This is the one place where a child of kelv runs library code that
// may exit() instead of a single task that ends with _exit().
//
// Work that the screen shows but must never wait for (the mailbox reads, the
// history) runs in the background: every wait of the interface watches it in
// the same poll as the terminal or the command it waits for, and takes in
// what comes.
#include "interface.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const size_t output_limit = 1048576;

// The jobs running now, watched by every wait of the interface.
std::vector<background_job *> running_jobs;

// The child's whole life. in_fd (or nothing) is its standard input, out_fd
// its standard output and error.
[[noreturn]] void run_child(const operation &op, int in_fd, int out_fd)
{
    // The interrupt and quit keys stop a running command; a quit request by
    // SIGTERM or a hang-up lets it finish what it started.
    signal(SIGINT, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    int in = in_fd < 0 ? open("/dev/null", O_RDONLY | O_CLOEXEC) : in_fd;
    if (in < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(out_fd, STDOUT_FILENO) < 0 ||
        dup2(out_fd, STDERR_FILENO) < 0)
        _exit(127);
    // Only the copies stay open: the command must see the end of its input,
    // and the pipes of the parent's background work must end when the
    // parent's own ends do. The terminal is the parent's too: a command that
    // dies here must not give it back from under the interface.
    close_range(3, ~0U, 0);
    tty_fd = -1;
    // The command judges the mailboxes as a fresh kelv would, not from the
    // records the list read up to three seconds ago, and leaves the parent's
    // reads and jobs alone.
    records_detach();
    for (background_job *j : running_jobs) {
        j->child.pid = -1;
        (void)j->out.release();
        (void)j->ended_fd.release();
    }
    running_jobs.clear();
    op.function(op.argc, op.argv);
    fflush(stdout);
    fflush(stderr);
    _exit(0);
}

// Forks the child of op; its pid in child, or -1.
void start_child(child_process &child, const operation &op, int in_fd, int out_fd)
{
    fflush(stdout);
    child.pid = fork();
    if (child.pid == 0)
        run_child(op, in_fd, out_fd);
}

void forget_job(background_job &j)
{
    std::erase(running_jobs, &j);
    j.running = false;
    j.out.reset();
    j.ended_fd.reset();
}

// Reads what the job has written and reaps it once it has ended.
void advance_job(background_job &j)
{
    if (j.out.valid()) {
        struct pollfd p = {j.out.get(), POLLIN, 0};
        if (poll(&p, 1, 0) > 0) {
            char chunk[65536];
            ssize_t r = read(j.out.get(), chunk, sizeof chunk);
            if (r > 0 && j.output.len < output_limit)
                textbuf_append(j.output, chunk, std::min(static_cast<size_t>(r), output_limit - j.output.len));
            else if (r == 0 || (r < 0 && errno != EINTR))
                j.out.reset();
        }
    }
    if (!j.out.valid()) {
        int status;
        pid_t r = waitpid(j.child.pid, &status, WNOHANG);
        if (r == j.child.pid || (r < 0 && errno != EINTR)) {
            j.child.pid = -1;
            j.status = r < 0 ? run_not_started : WIFEXITED(status) ? WEXITSTATUS(status) : run_killed;
            j.ended = true;
            forget_job(j);
            return;
        }
    }
    if (monotonic_ms() >= j.deadline) {
        child_leave(j.child);
        j.status = run_killed;
        j.overran = true;
        j.ended = true;
        forget_job(j);
    }
}

} // namespace

background_job::~background_job() { job_stop(*this); }

bool job_start(background_job &j, const operation &op, int time_limit_ms)
{
    job_stop(j);
    textbuf_free(j.output);
    j.ended = j.overran = false;
    j.status = run_not_started;
    fd_pair out;
    if (make_pipe(out) < 0)
        return false;
    start_child(j.child, op, -1, out.write_end.get());
    if (j.child.pid < 0)
        return false;
    j.out = std::move(out.read_end);
    j.ended_fd.reset(static_cast<int>(syscall(SYS_pidfd_open, j.child.pid, 0)));
    j.deadline = monotonic_ms() + time_limit_ms;
    j.running = true;
    running_jobs.push_back(&j);
    return true;
}

void job_stop(background_job &j)
{
    if (!j.running)
        return;
    child_leave(j.child);
    forget_job(j);
}

int background_fds(std::vector<struct pollfd> &fds)
{
    int wait_ms = records_fds(fds);
    int64_t now_ms = monotonic_ms();
    for (background_job *j : running_jobs) {
        if (j->out.valid())
            fds.push_back({j->out.get(), POLLIN, 0});
        else if (j->ended_fd.valid())
            fds.push_back({j->ended_fd.get(), POLLIN, 0});
        int64_t left = std::max<int64_t>(j->deadline - now_ms, 0);
        if (!j->out.valid() && !j->ended_fd.valid())
            left = std::min<int64_t>(left, 10); // no pidfd: look again every 10 ms
        if (wait_ms < 0 || left < wait_ms)
            wait_ms = static_cast<int>(left);
    }
    return wait_ms;
}

bool background_advance()
{
    bool changed = records_advance();
    // A job that ends goes out of the list.
    std::vector<background_job *> jobs = running_jobs;
    for (background_job *j : jobs) {
        advance_job(*j);
        changed = changed || j->ended;
    }
    return changed;
}

int wait_ready(int fd, short events, int ms)
{
    int64_t deadline = ms < 0 ? INT64_MAX : monotonic_ms() + ms;
    std::vector<struct pollfd> fds;
    for (;;) {
        fds.assign(1, {fd, events, 0});
        int background = background_fds(fds);
        int64_t left = deadline == INT64_MAX ? -1 : std::max<int64_t>(deadline - monotonic_ms(), 0);
        int wait_ms = background >= 0 && (left < 0 || background < left) ? background : static_cast<int>(left);
        int r = poll(fds.data(), fds.size(), wait_ms);
        if (r < 0)
            return errno == EINTR ? 0 : -1;
        // Taken in whatever woke the poll: keys typed without a pause must
        // not starve the background, nor keep a read past its time alive.
        background_advance();
        if (fds[0].revents)
            return 1;
        if (deadline != INT64_MAX && monotonic_ms() >= deadline)
            return 0;
    }
}

int run_captured(const operation &op, const textbuf *input, textbuf &output)
{
    fd_pair in, out;
    if (make_pipe(in) < 0 || make_pipe(out) < 0)
        return run_not_started;
    child_process child;
    start_child(child, op, in.read_end.get(), out.write_end.get());
    if (child.pid < 0)
        return run_not_started;

    in.read_end.reset();
    out.write_end.reset();
    // A command that ends without reading its input closes the pipe; the
    // write then fails with EPIPE (ignored by the interface) and its output
    // is still read.
    if (input && input->len > 0)
        write_all(in.write_end.get(), input->data, input->len);
    in.write_end.reset();
    // The background work goes on while the command runs.
    for (;;) {
        int ready = wait_ready(out.read_end.get(), POLLIN, -1);
        if (ready < 0)
            break;
        if (ready == 0)
            continue;
        char chunk[65536];
        ssize_t r = read(out.read_end.get(), chunk, sizeof chunk);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        if (output.len < output_limit)
            textbuf_append(output, chunk, std::min(static_cast<size_t>(r), output_limit - output.len));
    }
    int status = child_wait(child);
    if (status < 0)
        return run_not_started;
    if (!WIFEXITED(status))
        return run_killed;
    return WEXITSTATUS(status);
}

int run_reported(const operation &op, const textbuf *input, textbuf &output)
{
    int status = run_captured(op, input, output);
    int error = errno;
    const char *newline = output.len > 0 && output.data[output.len - 1] != '\n' ? "\n" : "";
    if (status == run_not_started)
        textbuf_printf(output, "%sThe operation could not be started: %s.\n", newline, strerror(error));
    else if (status == run_killed)
        textbuf_printf(output, "%sThe operation was interrupted before it finished.\n", newline);
    else if (status != 0 && output.len == 0)
        textbuf_printf(output, "The operation failed with exit status %d.\n", status);
    return status;
}

int run_and_show(const frame &f, const char *title, const operation &op, const textbuf *input)
{
    textbuf output;
    int status = run_reported(op, input, output);
    result_dialog(f, title, output);
    return status;
}
