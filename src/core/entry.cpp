// kelv always works as root: a normal user's invocation is handed to sudo
// before anything else is looked at. What it does on the administrator's
// behalf beyond its own work (a file they named, their editor, their pager)
// it does as the account that called sudo, never as root in its place:
// someone allowed sudo kelv and nothing more must not get more.
#include "core.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <pwd.h>
#include <unistd.h>

extern char **environ;

void rerun_as_root(char **argv)
{
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
        if (n == 0)
            errno = ENOENT;
        die("/proc/self/exe: %s", strerror(errno));
    }
    exe[n] = '\0';

    size_t argc = 0;
    while (argv[argc])
        argc++;
    // "sudo", "--", the executable, the arguments after argv[0], NULL.
    char **args = static_cast<char **>(xmalloc((argc + 3) * sizeof *args));
    size_t k = 0;
    args[k++] = const_cast<char *>("sudo");
    args[k++] = const_cast<char *>("--");
    args[k++] = exe;
    for (size_t i = 1; i < argc; i++)
        args[k++] = argv[i];
    args[k] = nullptr;
    fflush(stdout);
    execvp("sudo", args);
    die("sudo: %s", strerror(errno));
}

const char *author_name()
{
    static char name[64];
    const char *sudo_user = getenv("SUDO_USER");
    const char *found = nullptr;
    if (sudo_user && *sudo_user && strlen(sudo_user) < sizeof name && getpwnam(sudo_user))
        found = sudo_user;
    if (!found) {
        struct passwd *pw = getpwuid(getuid());
        found = pw ? pw->pw_name : "?";
    }
    snprintf(name, sizeof name, "%s", found);
    return name;
}

bool sudo_caller(user_info &u)
{
    const char *text = getenv("SUDO_UID");
    int64_t uid;
    return text && parse_number(text, uid) && uid != 0 && uid <= UINT32_MAX &&
           user_lookup_uid(static_cast<uid_t>(uid), u);
}

sudo_caller_state find_sudo_caller(user_info &u, const char *&who)
{
    who = nullptr;
    if (geteuid() != 0 || test_mode)
        return sudo_caller_state::none;
    if (sudo_caller(u))
        return sudo_caller_state::found;
    const char *name = getenv("SUDO_USER"), *uid = getenv("SUDO_UID");
    bool named = name && *name && strcmp(name, "root") != 0;
    if (!named && !(uid && *uid && strcmp(uid, "0") != 0))
        return sudo_caller_state::none; // root's own kelv, or sudo from root
    who = named ? name : uid;
    return sudo_caller_state::lost;
}

void program_environment(const user_info *caller, const char *extra, strlist &owned, std::vector<char *> &envp)
{
    const struct passwd *pw = caller ? getpwuid(caller->uid) : nullptr;
    size_t extra_name = extra ? strcspn(extra, "=") + 1 : 0;
    for (char **e = environ; *e; e++) {
        if (pw && (strncmp(*e, "HOME=", 5) == 0 || strncmp(*e, "USER=", 5) == 0 || strncmp(*e, "LOGNAME=", 8) == 0))
            continue;
        if (extra && strncmp(*e, extra, extra_name) == 0)
            continue;
        envp.push_back(*e);
    }
    if (pw) {
        strlist_push(owned, xasprintf("HOME=%s", pw->pw_dir));
        strlist_push(owned, xasprintf("USER=%s", caller->name));
        strlist_push(owned, xasprintf("LOGNAME=%s", caller->name));
    }
    if (extra)
        strlist_push_copy(owned, extra);
    for (size_t i = 0; i < owned.count; i++)
        envp.push_back(owned.items[i]);
    envp.push_back(nullptr);
}

pid_t start_program(const user_info *caller, int input, char *const envp[], const program *programs, size_t count)
{
    int group_count = 0;
    gid_t *groups = caller ? user_groups(*caller, group_count) : nullptr;
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        if (input >= 0 && dup2(input, STDIN_FILENO) < 0)
            _exit(126);
        // The terminal, the pipe and nothing else: no lock, no store, no
        // socket of root's reaches the program.
        close_range(3, ~0U, 0);
        for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU, SIGCHLD})
            signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (caller && !become_user(*caller, groups, group_count))
            _exit(126);
        for (size_t i = 0; i < count; i++)
            execvpe(programs[i].file, programs[i].argv, envp);
        _exit(127);
    }
    int error = errno;
    free(groups);
    errno = error;
    return pid;
}

bool is_json_option(const char *arg)
{
    return strcmp(arg, "--json") == 0;
}

bool take_json_option(int &argc, char **argv)
{
    int kept = 0;
    for (int i = 0; i < argc; i++)
        if (!is_json_option(argv[i]))
            argv[kept++] = argv[i];
    bool found = kept < argc;
    argc = kept;
    return found;
}

void print_json(const nlohmann::ordered_json &doc)
{
    std::string text = doc.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace);
    text += '\n';
    fwrite(text.data(), 1, text.size(), stdout);
}
