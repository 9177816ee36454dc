// kelv: the administrator's command. Settles the process (name, root through
// sudo, umask), then dispatches one command from the table below.
#include "core/core.h"
#include "guide/guide.h"
#include "interface/interface.h"
#include "reports/reports.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int cmd_help(int, char **)
{
    show_guide();
    return 0;
}

int cmd_version(int, char **)
{
    printf("Kelvora - Advanced Messaging System for Linux %s\n", kelv_version);
    return 0;
}

const int any_count = -1;

struct command {
    const char *name;
    int max_args;  // further arguments allowed, or any_count
    bool recovery; // run the recovery pass first
    bool json;     // takes --json anywhere, beyond max_args
    int (*run)(int argc, char **argv);
};

const command commands[] = {
    {"help", any_count, false, false, cmd_help},
    {"-h", any_count, false, false, cmd_help},
    {"--help", any_count, false, false, cmd_help},
    {"version", any_count, false, false, cmd_version},
    {"--version", any_count, false, false, cmd_version},
    {"send", any_count, true, true, send},
    {"list", 0, true, true, list},
    {"status", 1, true, true, status},
    {"revoke", 1, true, false, revoke},
    {"remind", 1, true, false, remind},
    {"log", 1, true, true, log},
    {"purge", 1, false, false, purge},
};

// The first of args beyond the ones c takes, its --json aside; NULL when
// there is none.
const char *extra_argument(const command &c, int argc, char **args)
{
    if (c.max_args == any_count)
        return nullptr;
    int taken = 0;
    for (int i = 0; i < argc; i++) {
        if (c.json && is_json_option(args[i]))
            continue;
        if (taken++ == c.max_args)
            return args[i];
    }
    return nullptr;
}

int no_command()
{
    interface_run run = interface_run::no_terminal;
    if (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) {
        recovery_pass();
        run = interactive_main();
        if (run == interface_run::ran)
            return 0;
    }
    cmd_help(0, nullptr);
    // Said once the guide has given the screen back, where it stays.
    if (run == interface_run::too_small)
        warnf("the terminal is %d×%d; the interface needs at least %d×%d", screen_cols, screen_rows,
              min_screen_cols, min_screen_rows);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    lib_init("kelv");
    if (geteuid() != 0 && !test_mode)
        rerun_as_root(argv);
    umask(022);

    if (argc < 2 || argv[1][0] == '\0')
        return no_command();
    const char *name = argv[1];
    for (const command &c : commands) {
        if (strcmp(c.name, name) != 0)
            continue;
        int rest = argc - 2;
        if (const char *extra = extra_argument(c, rest, argv + 2))
            die("too many arguments for %s: %s (kelv --help for the guide)", name, extra);
        if (c.recovery)
            recovery_pass();
        c.run(rest, argv + 2);
        return 0;
    }
    die("unknown command: %s (kelv --help for the guide)", name);
}
