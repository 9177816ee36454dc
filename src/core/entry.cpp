// kelv always works as root: a normal user's invocation is handed to sudo
// before anything else is looked at.
#include "core.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <pwd.h>
#include <unistd.h>

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
