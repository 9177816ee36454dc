// The external editor: the form's text goes to a temporary file, the editor
// runs on it on the normal screen, and what it saved comes back into the form.
//
// Under sudo the editor belongs to the account that called sudo: it runs
// with that account's identity and home, on a file handed to it, and what it
// saved is read back with its rights (the account owns the file and may have
// put a link to anything in its place). Root never runs the editor in that
// account's place: an editor is a shell away from root for someone who may
// only have been allowed sudo kelv. When the account is known but cannot be
// given the file or its identity cannot be taken, the editor does not run.
#include "interface.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char file_template[] = "/tmp/kelvora-testo-XXXXXX";
// The most the form takes back from the editor.
const size_t taken_back_limit = 131072;
// Reading the file back as the caller is a short job, bounded like any other.
const int read_back_time_limit = 20;
// The editor's child ends with these when nothing could run: the identity
// could not be taken or the program is not executable (126), no program was
// found (127).
const int status_not_run = 126;
const int status_not_found = 127;

const char kept[] = "The text is as it was.";

// The editor the administrator chose: VISUAL, else EDITOR; NULL for neither
// (nano, else vi).
const char *chosen_editor()
{
    const char *visual = getenv("VISUAL"), *editor = getenv("EDITOR");
    return visual && *visual ? visual : editor && *editor ? editor : nullptr;
}

// True while process pid is stopped.
bool stopped(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    textbuf stat;
    if (read_file(path, 4096, true, stat) < 0)
        return false;
    // The state follows the name, which is in parentheses and may hold any.
    const char *close = strrchr(textbuf_str(stat), ')');
    return close && close[1] == ' ' && (close[2] == 'T' || close[2] == 't');
}

// Waits for the editor to end; its wait status, or -1. An editor stops
// itself on the suspend key (its terminal is raw: Ctrl+Z is a byte to it, not
// a signal to kelv): kelv then stops its whole process group with it, so
// that the shell, or sudo, which runs kelv on a terminal of its own and
// watches kelv alone, sees the job stopped and gives the prompt back. When
// the job goes on (fg), the editor goes on with it, and the draft with it.
int wait_for_editor(child_process &child)
{
    for (;;) {
        int status;
        pid_t r = waitpid(child.pid, &status, WUNTRACED);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 || !WIFSTOPPED(status)) {
            child.pid = -1;
            return r < 0 ? -1 : status;
        }
        // Already going on when the suspend key stopped kelv as well.
        if (!stopped(child.pid))
            continue;
        kill(0, SIGSTOP);
        kill(child.pid, SIGCONT);
    }
}

// The editor on path, in the foreground; its wait status, or -1 when it
// could not be started (errno set).
int run_editor(const char *path, const user_info *caller)
{
    const char *command = chosen_editor();
    strlist owned;
    std::vector<char *> envp;
    program_environment(caller, nullptr, owned, envp);
    char *file = const_cast<char *>(path);
    // The shell splits the command at blanks: it may carry options.
    char *shell[] = {const_cast<char *>("sh"), const_cast<char *>("-c"), const_cast<char *>("exec $0 \"$1\""),
                     const_cast<char *>(command), file, nullptr};
    char *nano[] = {const_cast<char *>("nano"), file, nullptr};
    char *vi[] = {const_cast<char *>("vi"), file, nullptr};
    const program with_command[] = {{"/bin/sh", shell}, {"nano", nano}, {"vi", vi}};
    const program *programs = command ? with_command : with_command + 1;

    // The editor may keep the terminal for minutes: reads under way are
    // asked again afterwards rather than held against their mailboxes.
    records_cancel_reads();
    lend_terminal();
    child_process child;
    child.pid = start_program(caller, -1, envp.data(), programs, command ? 3 : 2);
    int error = errno;
    int status = child.pid < 0 ? -1 : wait_for_editor(child);
    take_terminal_back();
    if (status == -1)
        errno = error;
    return status;
}

// The saved text, cleaned of what may not reach a terminal and of its
// trailing newlines, becomes the form's text, the insertion point at its end.
void take_back(struct compose_form &form, const textbuf &saved)
{
    textbuf cleaned;
    clean_text(textbuf_str(saved), saved.len, cleaned);
    const char *p = textbuf_str(cleaned);
    size_t len = cleaned.len;
    while (len > 0 && p[len - 1] == '\n')
        len--;
    strlist_free(form.lines);
    for (const char *end = p + len;;) {
        const char *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
        strlist_push(form.lines, xstrndup(p, nl ? static_cast<size_t>(nl - p) : static_cast<size_t>(end - p)));
        if (!nl)
            break;
        p = nl + 1;
    }
    form.line = form.lines.count - 1;
    form.column = strlen(form.lines.items[form.line]);
}

// Runs the editor on the text in a new file; true when its text came back.
bool edit_file(struct compose_form &form, const user_info *caller, textbuf &problem)
{
    char path[sizeof file_template];
    memcpy(path, file_template, sizeof path);
    unique_fd fd(mkostemp(path, O_CLOEXEC));
    if (!fd.valid()) {
        textbuf_printf(problem, "No file for the editor can be made in /tmp: %s.\n%s\n", strerror(errno), kept);
        return false;
    }
    // Gone on every way out; unlink removes a name, whatever it now names.
    struct removal {
        const char *path;
        ~removal() { unlink(path); }
    } removed{path};
    textbuf text;
    for (size_t i = 0; i < form.lines.count; i++)
        textbuf_printf(text, "%s\n", form.lines.items[i]);
    if (write_all(fd.get(), text.data, text.len) < 0) {
        textbuf_printf(problem, "The text cannot be written for the editor: %s.\n%s\n", strerror(errno), kept);
        return false;
    }
    if (caller && fchown(fd.get(), caller->uid, caller->gid) < 0) {
        textbuf_printf(problem, "The file for the editor cannot be given to %s: %s;\n", caller->name,
                       strerror(errno));
        textbuf_printf(problem, "the editor does not run as root in its place.\n%s\n", kept);
        return false;
    }
    fd.reset();

    int status = run_editor(path, caller);
    if (status == -1) {
        textbuf_printf(problem, "The editor cannot be started: %s.\n%s\n", strerror(errno), kept);
        return false;
    }
    if (WIFEXITED(status) && (WEXITSTATUS(status) == status_not_run || WEXITSTATUS(status) == status_not_found)) {
        const char *command = chosen_editor() ? chosen_editor() : "nano or vi";
        textbuf shown;
        append_clean_line(shown, command, strlen(command));
        textbuf_printf(problem, "The editor (%s) could not be started:\n", textbuf_str(shown));
        if (WEXITSTATUS(status) == status_not_found)
            textbuf_printf(problem, "it was not found.");
        else if (caller)
            textbuf_printf(problem, "it is not executable, or %s's identity cannot be taken.", caller->name);
        else
            textbuf_printf(problem, "it is not executable.");
        textbuf_printf(problem, "\nSet VISUAL or EDITOR. %s\n", kept);
        return false;
    }

    // Whatever the editor's status, what it saved is the text.
    textbuf saved;
    int rc = caller ? read_file_as_user(*caller, path, taken_back_limit, true, saved, read_back_time_limit)
                    : read_file(path, taken_back_limit, true, saved);
    if (rc < 0 && errno == EFBIG)
        textbuf_printf(problem, "The editor saved more than %zu bytes: too much to take back.\n%s\n",
                       taken_back_limit, kept);
    else if (rc < 0)
        textbuf_printf(problem, "What the editor saved cannot be read back: %s.\n%s\n", strerror(errno), kept);
    else
        take_back(form, saved);
    return rc == 0;
}

} // namespace

bool edit_in_editor(struct compose_form &form, textbuf &problem)
{
    user_info caller;
    const char *who;
    bool taken = false;
    switch (find_sudo_caller(caller, who)) {
    case sudo_caller_state::none: taken = edit_file(form, nullptr, problem); break;
    case sudo_caller_state::found: taken = edit_file(form, &caller, problem); break;
    case sudo_caller_state::lost: {
        textbuf shown;
        append_clean_line(shown, who, strlen(who));
        textbuf_printf(problem, "The account that called sudo (%s) cannot be found:\n", textbuf_str(shown));
        textbuf_printf(problem, "the editor does not run as root in its place.\n%s\n", kept);
        break;
    }
    }
    form.field = field_text;
    return taken;
}
