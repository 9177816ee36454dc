// The administrator command core: kelv's entry services, the sent records,
// recipients, mailboxes, sending, the desktop agent start and the recovery
// pass.
#pragma once

#include "common/common.h"

// ---------------------------------------------------------------------------
// Entry and privileges

// What kelv version prints and the guide shows.
inline constexpr const char kelv_version[] = "0.2.0";

// Replaces the process with "sudo -- /proc/self/exe ARGS...". Never returns.
[[noreturn]] void rerun_as_root(char **argv);
// The administrator's name for records and events: SUDO_USER when it names an
// account, else the real user's name, else "?". The buffer is overwritten by
// every call.
const char *author_name();
// The account that called kelv through sudo (SUDO_UID), when it is not root:
// files named on the command line are opened with its rights, never root's.
bool sudo_caller(user_info &u);

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
void remove_marker(int64_t n, const char *name);
// Flushes the file system of the mailboxes and the record, then removes the
// incomplete marker of N (flushed too): from then on the send is complete.
void close_send(int64_t n);
// Appends the names of a recipients file (blank/newline separated).
void read_recipients_file(const char *path, strlist &out);
void read_recipients(int64_t n, strlist &out);
// The delivery log: users in order of their first line, with their terminal
// counts as text at the same positions. A recipient given up on has a line
// "USER TIME given-up" instead, and is not among the delivered users.
void read_deliveries(int64_t n, strlist &users, strlist &counts);
void read_given_up(int64_t n, strlist &users);
// The same from the text of a delivery log: the first line of each user
// decides; any list may be NULL.
void parse_deliveries(const char *text, size_t len, strlist *users, strlist *counts, strlist *given_up);
void append_delivery(int64_t n, const char *user, int terminals);
void append_given_up(int64_t n, const char *user);

// A recipient whose mailbox fails this many times in a row for the same work
// (a delivery, a removal, a deletion) is given up on, so that no user can
// keep a send, a revocation or a purge open for ever.
const int tries_limit = 5;
// Records a failed try of action ("deliver", "revoke", "purge") for user in
// the failures file of the record directory dir; the number of failed tries
// of that action for that user so far, this one included.
int count_failed_try(const char *dir, const char *action, const char *user);
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

// ---------------------------------------------------------------------------
// Mailboxes: D/users/USER, owned by the user. Root only ever creates the
// mailbox directory itself; everything inside is done by a child that has
// taken the user's identity, so a link planted by the user can never turn
// root's work against the system.

// Puts the copy into the inbox unless the message is already handled (read or
// confirmed); true when the copy is there or the message was handled.
bool deliver_copy(const user_info &u, int64_t n, const textbuf &bytes);
// True when no copy of N is left in the inbox (also without a mailbox).
bool remove_copy(const user_info &u, int64_t n);
// True when the mailbox exists and neither postponement marker of N is left.
bool clear_postponements(const user_info &u, int64_t n);
// Removes every file of N from the mailbox; true when none is left there.
bool purge_copies(const user_info &u, int64_t n);

// What a user has done with one message.
struct mailbox_record {
    int64_t number = 0;
    char *confirmation = nullptr; // first line of acks/N, cleaned; NULL: none
    int64_t postponed = 0;        // latest postponement, 0: never
};

struct record_table {
    mailbox_record *items = nullptr;
    size_t count = 0;
    size_t cap = 0;

    record_table() = default;
    record_table(const record_table &) = delete;
    record_table &operator=(const record_table &) = delete;
    ~record_table();
};

void record_table_free(record_table &t);
// Reads the records of the given message numbers in one child as the user.
void collect_records(const user_info &u, const strlist &numbers, record_table &table);
// Parses the read step's output (cleaning it first) into the table.
void parse_records(const char *output, size_t len, record_table &table);
// The records of every sent message for the user, read once and cached.
const record_table &records_for_user(const char *name);
// Reads into the cache the records of every name not cached yet, several
// mailboxes at once (one child each, up to one per core).
void load_records(const strlist &names);
// Brings the cache up to date for a reload, reading again only the mailboxes
// that may have changed since they were read: the first call empties the
// cache and starts watching every mailbox read from then on.
void refresh_records();
const mailbox_record *find_record(const record_table &t, int64_t n);
// Empties the cache and stops watching: the next records_for_user reads anew.
void forget_records();
// A number that moves on whenever a cached table changes its content (it is
// read anew with other records) and whenever the cache is emptied.
uint64_t records_generation();
// Appends the names whose tables have changed since generation was current;
// false when the cache was emptied since, and anything may have changed.
bool records_changed_since(uint64_t generation, strlist &names);

// Removes the copies of N from every recipient's mailbox, then the revoking
// marker when that worked for all of them; a recipient whose copy could not
// be removed tries_limit times is given up on and added to given_up.
bool finish_revocation(int64_t n, strlist &given_up);
// Removes N's files from every recipient's mailbox, then the deletion
// directory at path once every mailbox is clean; given_up as above. True when
// the deletion is complete.
bool finish_deletion(const char *path, int64_t n, strlist &given_up);

// ---------------------------------------------------------------------------
// Desktop agent start

// The process ID in the text of an agent's ready file: its first line, a
// number from 2 to 4194304; false for anything else.
bool parse_ready_file(const char *bytes, size_t len, int64_t &pid);

// Wakes the user's running desktop agent, or starts one in the user's
// graphical session through systemd-run; silent in every case, and nothing at
// all in test mode or without a graphical session.
void start_agent(const user_info &u);

// ---------------------------------------------------------------------------
// Commands of the core

// kelv send: the arguments after the word "send". Fatal on every failure.
int send(int argc, char **argv);
// The time an --expires value names: digits and m, h, d or w (minutes, hours,
// days, weeks) from now, or any date the date program understands. Fatal
// "invalid expiry: %s" for another value (digits and any other letter
// included) and "the expiry is already in the past" for a time not after now.
int64_t parse_expiry(const char *value);
// Finishes interrupted sends, revocations and deletions; never fails.
void recovery_pass();
// Warns once for each recipient given up on: "message N: WHAT NAME failed 5
// times: given up".
void warn_given_up(int64_t n, const char *what, const strlist &names);
