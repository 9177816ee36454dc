// Running kelv's commands from the interface. The commands end the process
// through die() when they fail; run in a forked child, such a failure ends
// only the child, and its message, captured from the child's standard output
// and error, reaches the user in a result dialog while the interface keeps
// running. This is the one place where a child of kelv runs library code that
// may exit() instead of a single task that ends with _exit().
#include "interface.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const size_t output_limit = 1048576;

[[noreturn]] void run_child(const operation &op, const fd_pair &in, const fd_pair &out)
{
    // The interrupt and quit keys stop a running command; a quit request by
    // SIGTERM or a hang-up lets it finish what it started.
    signal(SIGINT, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    if (dup2(in.read_end.get(), STDIN_FILENO) < 0 || dup2(out.write_end.get(), STDOUT_FILENO) < 0 ||
        dup2(out.write_end.get(), STDERR_FILENO) < 0)
        _exit(127);
    // Only the copies stay open: the command must see the end of its input.
    for (int fd : {in.read_end.get(), in.write_end.get(), out.read_end.get(), out.write_end.get(), tty_fd})
        if (fd > STDERR_FILENO)
            close(fd);
    // The terminal is the parent's: a command that dies here must not give
    // it back from under the interface.
    tty_fd = -1;
    // The command judges the mailboxes as a fresh kelv would, not from the
    // records the list read up to three seconds ago.
    forget_records();
    op.function(op.argc, op.argv);
    fflush(stdout);
    fflush(stderr);
    _exit(0);
}

} // namespace

int run_captured(const operation &op, const textbuf *input, textbuf &output)
{
    fd_pair in, out;
    if (make_pipe(in) < 0 || make_pipe(out) < 0)
        return run_not_started;
    fflush(stdout);
    child_process child;
    child.pid = fork();
    if (child.pid < 0)
        return run_not_started;
    if (child.pid == 0)
        run_child(op, in, out);

    in.read_end.reset();
    out.write_end.reset();
    // A command that ends without reading its input closes the pipe; the
    // write then fails with EPIPE (ignored by the interface) and its output
    // is still read.
    if (input && input->len > 0)
        write_all(in.write_end.get(), input->data, input->len);
    in.write_end.reset();
    read_fd(out.read_end.get(), output_limit, output);
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
