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

// ---------------------------------------------------------------------------
// Sent records and message numbers: D/sent/N holds the reference copy msg,
// recipients, the delivery log, and the markers of unfinished work.

// "%s/sent/%lld/%s" (name NULL: the record's directory). Caller frees.
char *sent_path(int64_t n, const char *name);
// The message number of a command argument; fatal "missing message ID" or
// "no such message: %s".
int64_t parse_message_argument(const char *text);
// Takes the next number under the sequence lock and creates its directory.
// Never hands out a number twice, even with a lost or damaged .seq. Fatal on
// failure.
int64_t allocate_message_number();
// The message lock of N, waiting for it unless nonblocking; invalid (errno
// set) when it cannot be taken.
unique_fd lock_message(int64_t n, bool nonblocking);
void touch_marker(int64_t n, const char *name);
bool has_marker(int64_t n, const char *name);
// Appends the names of a recipients file (blank/newline separated).
void read_recipients_file(const char *path, strlist &out);
void read_recipients(int64_t n, strlist &out);
// The delivery log: users in order of their first line, with their terminal
// counts as text at the same positions.
void read_deliveries(int64_t n, strlist &users, strlist &counts);
void append_delivery(int64_t n, const char *user, int terminals);
// The message numbers in D/sent, oldest first; -1 when D/sent cannot be read.
int list_sent_numbers(strlist &out);
// Prints the first 40 characters of text, padded with blanks to 40 columns.
void print_text_cell(const char *text, size_t len);

// ---------------------------------------------------------------------------
// Recipients

// Resolves "all", "online", "@group" and user names (comma-separated) into
// distinct names in byte order. Fatal on an unknown user or group.
void resolve_recipients(const char *text, strlist &out);
// Prints the number of names the text resolves to.
int count_recipients(const char *text);
