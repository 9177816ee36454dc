// libsystemd opened on first use (see common.h for why it is not linked).
#include "common.h"

#include <dlfcn.h>
#include <type_traits>
#include <systemd/sd-journal.h>
#include <systemd/sd-login.h>

namespace {

template <typename F> bool bind(void *lib, F *&slot, const char *name)
{
    slot = reinterpret_cast<F *>(dlsym(lib, name));
    return slot != nullptr;
}

bool load(systemd_api &api)
{
    void *lib = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!lib)
        return false;
    // The signatures above must stay those of the library's own headers.
    static_assert(std::is_same_v<decltype(api.get_sessions), decltype(&sd_get_sessions)>);
    static_assert(std::is_same_v<decltype(api.journal_get_data), decltype(&sd_journal_get_data)>);
    static_assert(std::is_same_v<decltype(api.journal_open), decltype(&sd_journal_open)>);
    bool ok = bind(lib, api.journal_send_with_location, "sd_journal_send_with_location") &&
              bind(lib, api.journal_open, "sd_journal_open") &&
              bind(lib, api.journal_add_match, "sd_journal_add_match") &&
              bind(lib, api.journal_seek_realtime_usec, "sd_journal_seek_realtime_usec") &&
              bind(lib, api.journal_next, "sd_journal_next") &&
              bind(lib, api.journal_previous, "sd_journal_previous") &&
              bind(lib, api.journal_seek_tail, "sd_journal_seek_tail") &&
              bind(lib, api.journal_get_data, "sd_journal_get_data") &&
              bind(lib, api.journal_get_realtime_usec, "sd_journal_get_realtime_usec") &&
              bind(lib, api.journal_close, "sd_journal_close") &&
              bind(lib, api.get_sessions, "sd_get_sessions") &&
              bind(lib, api.session_get_uid, "sd_session_get_uid") &&
              bind(lib, api.session_get_class, "sd_session_get_class") &&
              bind(lib, api.session_get_type, "sd_session_get_type") &&
              bind(lib, api.session_get_tty, "sd_session_get_tty") &&
              bind(lib, api.session_get_state, "sd_session_get_state");
    if (!ok)
        dlclose(lib);
    return ok;
}

} // namespace

const systemd_api *systemd()
{
    static systemd_api api;
    static int state = 0; // 0 not tried, 1 loaded, -1 unavailable
    if (state == 0)
        state = load(api) ? 1 : -1;
    return state == 1 ? &api : nullptr;
}
