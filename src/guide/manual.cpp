// The manual page: the guide's content laid out as a section-1 page, printed
// on standard output or sent through a pager. Every obstacle on the way to
// the pager falls back to plain standard output: the manual always appears.
#include "guide.h"
#include "core/core.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void put_lines(FILE *f, const strlist &lines)
{
    for (size_t i = 0; i < lines.count; i++)
        fprintf(f, "%s\n", lines.items[i]);
}

void put_wrapped(FILE *f, const char *text, int width, int indent)
{
    strlist lines;
    wrap_words(text, width, indent, lines);
    put_lines(f, lines);
}

void put_section(FILE *f, const char *title)
{
    fprintf(f, "\n%s%s%s\n", guide_style_bold, title, guide_style_reset);
}

// A table under its section's title, or under its own heading within the
// section before; its paragraph first, set apart from the entries.
void put_table(FILE *f, const guide_table &t, int width)
{
    if (t.section)
        put_section(f, t.section);
    else
        fprintf(f, "\n   %s%s%s\n", guide_style_bold, t.heading, guide_style_reset);
    if (t.intro) {
        put_wrapped(f, t.intro, width, 7);
        if (t.count > 0)
            fputc('\n', f);
    }
    for (size_t i = 0; i < t.count; i++) {
        char *term;
        const char *description;
        split_entry(t.entries[i], &term, &description);
        fprintf(f, "       %s%s%s\n", guide_style_green, term, guide_style_reset);
        put_wrapped(f, description, width, 14);
        free(term);
    }
}

int gap(int width, size_t used)
{
    int g = width - static_cast<int>(used);
    return g < 2 ? 2 : g;
}

} // namespace

void write_manual(FILE *f, bool styled, int width)
{
    guide_style_init(styled);
    width = width < 60 ? 60 : width > 100 ? 100 : width;

    const char *page = "KELV(1)", *title = "kelv manual";
    int g = gap(width, 2 * strlen(page) + strlen(title));
    fprintf(f, "%s%s%*s%s%*s%s%s\n", guide_style_bold, page, g / 2, "", title, g - g / 2, "", page,
            guide_style_reset);

    put_section(f, "NAME");
    put_wrapped(f, guide_manual_name, width, 7);
    put_section(f, "SYNOPSIS");
    for (size_t i = 0; i < guide_synopsis_count; i++) {
        const char *line = guide_synopsis[i];
        size_t first = strcspn(line, " ");
        fprintf(f, "       %s%.*s%s%s\n", guide_style_bold, static_cast<int>(first), line,
                guide_style_reset, line + first);
    }
    put_section(f, "DESCRIPTION");
    put_wrapped(f, guide_description, width, 7);
    for (size_t i = 0; i < guide_reference_count; i++)
        put_table(f, *guide_reference_tables[i], width);
    put_section(f, "SEE ALSO");
    put_wrapped(f, guide_see_also, width, 7);

    std::string version = std::string("kelv ") + kelv_version;
    fprintf(f, "\n%s%s%*s%s%s\n", guide_style_bold, version.c_str(),
            gap(width, version.size() + strlen(page)), "", page, guide_style_reset);
}

namespace {

// True when an executable "less" is in one of the directories of PATH.
bool less_on_path()
{
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        size_t end = dirs.find(':', start);
        std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/less";
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return true;
        if (end == std::string::npos)
            return false;
        start = end + 1;
    }
}

// The shell's statuses for a command it could not find or execute, and
// start_program's.
bool pager_did_not_start(int status)
{
    return WIFEXITED(status) && (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127);
}

} // namespace

void page_manual(int width, bool styled)
{
    fflush(stdout);
    // A pager is a shell away from its user's rights: as root it must never
    // run for someone who came through sudo (it runs as them), and as root
    // for root it is less in its secure mode, whatever PAGER says. When sudo
    // names an account that cannot be used, nothing runs at all.
    bool privileged = geteuid() == 0 && !test_mode;
    user_info caller;
    const char *who;
    sudo_caller_state state = find_sudo_caller(caller, who);
    if (state == sudo_caller_state::lost)
        return write_manual(stdout, styled, width);
    const user_info *as = state == sudo_caller_state::found ? &caller : nullptr;
    const char *pager = getenv("PAGER");
    bool own_pager = pager && *pager && !(privileged && !as);
    if (!own_pager && !less_on_path())
        return write_manual(stdout, styled, width);

    char *shell[] = {const_cast<char *>("sh"), const_cast<char *>("-c"), const_cast<char *>(pager), nullptr};
    char *less[] = {const_cast<char *>("less"), const_cast<char *>("-R"), const_cast<char *>("-F"),
                    const_cast<char *>("-X"), nullptr};
    const program chosen = own_pager ? program{"/bin/sh", shell} : program{"less", less};
    strlist owned;
    std::vector<char *> envp;
    program_environment(as, privileged ? "LESSSECURE=1" : nullptr, owned, envp);

    fd_pair p;
    if (make_pipe(p) < 0)
        return write_manual(stdout, styled, width);
    child_process child;
    child.pid = start_program(as, p.read_end.get(), envp.data(), &chosen, 1);
    p.read_end.reset();
    FILE *into = child.pid > 0 ? fdopen(p.write_end.get(), "w") : nullptr;
    if (!into)
        return write_manual(stdout, styled, width);
    (void)p.write_end.release(); // the stream owns it now
    // Quitting the pager early must not end kelv, and Ctrl-C belongs to the
    // pager while it runs.
    struct sigaction old_pipe, old_int, old_quit;
    catch_signal(SIGPIPE, SIG_IGN, &old_pipe);
    catch_signal(SIGINT, SIG_IGN, &old_int);
    catch_signal(SIGQUIT, SIG_IGN, &old_quit);
    write_manual(into, styled, width);
    fclose(into);
    int status = child_wait(child);
    sigaction(SIGPIPE, &old_pipe, nullptr);
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    // A pager that could not run showed nothing and read nothing.
    if (status != -1 && pager_did_not_start(status))
        write_manual(stdout, styled, width);
}
