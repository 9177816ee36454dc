// The administrator command core: kelv's entry services, the sent records,
// recipients, mailboxes, sending, the desktop agent start and the recovery
// pass.
#pragma once

#include "common/common.h"

// ---------------------------------------------------------------------------
// Entry and privileges

// Replaces the process with "sudo -- /proc/self/exe ARGS...". Never returns.
[[noreturn]] void rerun_as_root(char **argv);
// The administrator's name for records and events: SUDO_USER when it names an
// account, else the real user's name, else "?". The buffer is overwritten by
// every call.
const char *author_name();
