// kelvora-user, the helper that runs with the rights of one user: before each
// shell prompt and as the desktop agent. It only ever writes into the user's
// own mailbox, the user's runtime directory and the journal.
#pragma once

#include "common/common.h"

#include <csignal>

// ---------------------------------------------------------------------------
// Process state, settled once at start

extern config settings;
extern char *user_name;    // login name of the real user ID
extern char *mailbox_dir;  // D/users/NAME
extern volatile sig_atomic_t wake_requested; // SIGUSR1
extern volatile sig_atomic_t stop_requested; // SIGTERM, SIGHUP, SIGINT (agent)

// ---------------------------------------------------------------------------
// The user's side of the mailbox. No locks: the confirmation record appears
// by one hard link of a complete file, archiving is one rename, markers are
// only touched, and every step tolerates a file another process moved first.

// Appends the pending message numbers in ascending order, archiving copies
// that are confirmed elsewhere or have expired on the way.
void collect_pending(strlist &out);
// True when state/N.SUFFIX was touched less than the remind interval ago.
bool recently_postponed(int64_t n, const char *suffix);
// True when the inbox copy can be read and has expired.
bool copy_expired(int64_t n);
// Moves the inbox copy to read/ and removes both postponement markers.
void archive_copy(int64_t n);
// Touches state/N.SUFFIX ("term" or "gui") and logs POSTPONED.
void postpone_message(int64_t n, const char *suffix);

enum confirm_result {
    confirm_recorded = 0, // by this call, or it already was
    confirm_failed = 1,   // the record could not be written
    confirm_expired = 2,
    confirm_revoked = 3, // no copy in the inbox
};
int confirm_message(int64_t n, const char *channel);
// Whether acks/N, inbox/N exist (the names themselves, links not followed).
bool record_exists(int64_t n);
bool copy_present(int64_t n);
// The record line "TIME CHANNEL\n" must fit in this many bytes.
#define RECORD_LINE_LIMIT 255

// ---------------------------------------------------------------------------
// Modes

// The terminal prompt; always 0.
int prompt(bool login);
// The desktop agent; 0, or 1 when the ready file cannot be written.
int agent();
bool display_reachable();
bool socket_connectable(const char *path);
