// kelvora-user: the per-user helper, started by the shell's prompt hooks
// ("prompt", "prompt --login") and by kelv in the user's desktop session
// ("agent"). It works with the rights of the user who runs it, nothing more.
#include "user/user.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

void on_wake(int) { wake_requested = 1; }

[[noreturn]] void usage()
{
    die("internal Kelvora helper, not meant to be run directly");
}

// Test mode only: confirms message ID with CHANNEL as a harness would.
int confirm_mode(const char *id, const char *channel)
{
    int64_t n;
    // The record line must hold the whole channel; refuse what would not fit.
    if (!parse_number(id, n) || strlen(channel) > RECORD_LINE_LIMIT - 21)
        return 1;
    return confirm_message(n, channel);
}

} // namespace

int main(int argc, char **argv)
{
    // A SIGUSR1 cuts a blocking wait short instead of ending the helper or
    // being lost.
    catch_signal(SIGUSR1, on_wake);

    lib_init("kelvora-user");
    config_load(settings);
    user_info me;
    if (!user_lookup_uid(getuid(), me))
        return 1;
    user_name = xstrdup(me.name);
    mailbox_dir = xasprintf("%s/users/%s", var_dir, user_name);

    if (argc < 2)
        usage();
    if (strcmp(argv[1], "prompt") == 0)
        return prompt(argc > 2 && strcmp(argv[2], "--login") == 0);
    if (strcmp(argv[1], "agent") == 0)
        return agent();
    if (test_mode && argc == 4 && strcmp(argv[1], "confirm") == 0)
        return confirm_mode(argv[2], argv[3]);
    usage();
}
