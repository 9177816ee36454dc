// Process-wide settings: where the store lives, and test mode, which moves it
// and lets the whole system run without root.
#include "common.h"

#include <cstdlib>
#include <ctime>

// The build derives the helper's directory from its install prefix; builds
// outside it (the fuzzers) get the default prefix's.
#ifndef KELVORA_LIB_DIR
#define KELVORA_LIB_DIR "/usr/local/lib/kelvora"
#endif

const char *program_name = "kelvora";
const char *var_dir = "/var/lib/kelvora";
const char *lib_dir = KELVORA_LIB_DIR;
const char *conf_path = "/etc/kelvora/kelvora.conf";
bool test_mode = false;

static void override_from(const char **setting, const char *variable)
{
    const char *v = getenv(variable);
    if (v && *v)
        *setting = v;
}

void lib_init(const char *name)
{
    program_name = name;
    const char *t = getenv("KELV_TEST");
    if (!t || !*t)
        return;
    test_mode = true;
    override_from(&var_dir, "KELV_VAR");
    override_from(&lib_dir, "KELV_LIB");
    override_from(&conf_path, "KELV_CONF");
}

int64_t now()
{
    return static_cast<int64_t>(time(nullptr));
}

void catch_signal(int sig, void (*fn)(int), struct sigaction *old)
{
    struct sigaction sa = {};
    sa.sa_handler = fn;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, old);
}

int64_t monotonic_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void format_time(int64_t t, char out[32])
{
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    if (!localtime_r(&tt, &tm) || strftime(out, 32, "%d/%m %H:%M", &tm) == 0) {
        out[0] = '?';
        out[1] = '\0';
    }
}
