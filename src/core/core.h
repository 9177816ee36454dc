// The administrator command core: kelv's entry services, the sent records,
// recipients, mailboxes, sending, the desktop agent start and the recovery
// pass.
#pragma once

#include "common/common.h"

#include <vector>
#include <nlohmann/json_fwd.hpp>

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

// For whom kelv works when it acts on the administrator's behalf (reads a
// file they named, starts their editor or pager): none when kelv is not root
// or in test mode, or root runs it for itself (no sudo, or sudo from root);
// found when it runs as root for the account that called sudo (u filled);
// lost when sudo names an account that cannot be used: nothing may then be
// done as root in its place, and who is the name or number sudo gave.
enum class sudo_caller_state { none, found, lost };
sudo_caller_state find_sudo_caller(user_info &u, const char *&who);

// One way to start a program: the file execvpe looks for and its argument
// vector (argv[0] first, NULL last).
struct program {
    const char *file;
    char *const *argv;
};
// The environment for a program that kelv starts for the administrator:
// kelv's own, with the HOME, USER and LOGNAME of caller when it runs as
// caller, and extra ("NAME=value") when given. The strings of owned back it;
// envp ends with NULL.
void program_environment(const user_info *caller, const char *extra, strlist &owned,
                         std::vector<char *> &envp);
// Starts the first of the count programs that can be executed, in a child
// that keeps no descriptor of kelv's but its standard input (input when it is
// not -1), output and error, with the default actions of the signals that
// kelv catches or ignores, and, when caller is given, the caller's identity
// taken for good before anything is executed. The child ends with 126 when
// the identity cannot be taken and with 127 when no program could be
// executed. Returns its process ID, or -1 with errno when there is no child.
pid_t start_program(const user_info *caller, int input, char *const envp[], const program *programs,
                    size_t count);
// Whether arg asks for the JSON form of a report ("--json").
bool is_json_option(const char *arg);
// Takes every "--json" out of the arguments, keeping the others in order;
// true when there was one.
bool take_json_option(int &argc, char **argv);
// Prints doc on standard output as one line of JSON. Every character outside
// ASCII is written as a \u escape and every byte that is not UTF-8 as
// U+FFFD, so that nothing a user wrote reaches a terminal as it is, while
// any JSON parser reads the strings back as they were stored.
void print_json(const nlohmann::ordered_json &doc);

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
// Prints text as a cell of 40 display columns: cut on a character boundary,
// padded with blanks, tabs shown as blanks.
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
// Reading in the background, for a screen that must never wait: from
// records_background(true) on, a mailbox that needs reading is only asked,
// its last known table (or an empty one) serves meanwhile, and
// records_advance takes the answers in. Off again, the cache is emptied.
void records_background(bool on);
// Appends the descriptors the background reads wait on; the longest the
// caller may wait before records_advance, in milliseconds (-1: none).
int records_fds(std::vector<struct pollfd> &fds);
// Takes in what the background reads brought, kills the reads past their
// time and starts waiting ones, without waiting; true when a table changed.
bool records_advance();
// Stops the reads under way without holding it against their mailboxes:
// they are asked again at the next refresh (before the terminal is lent to
// another program, which may keep it for minutes).
void records_cancel_reads();
// In a forked child that has closed its parent's descriptors: forgets the
// parent's reads and watches without touching them, and reads at once from
// then on, as a command does.
void records_detach();
// How a user's table stands: read and current; not read yet; or late, the
// last read having failed or overrun its time (the last known table serves).
enum class records_freshness { current, pending, late };
records_freshness records_state(const char *name);
// The users whose tables are late (sorted), and how many are not read yet.
void records_not_current(strlist &late, size_t &pending);
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
