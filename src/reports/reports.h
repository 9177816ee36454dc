// Reports and maintenance: recipient states and summaries, and the commands
// list, status, revoke, remind, purge and log.
//
// Every report judges each recipient the same way (evaluate_recipient), so
// the commands and the interactive interface always agree on who confirmed.
// A confirmation counts only when it was made no later than the expiry and no
// later than the revocation.
#pragma once

#include "core/core.h"

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

// The widest that a field written by a user (a confirmation's channel, the
// fields of a user's journal entry) is shown: a row stays a row.
const size_t user_field_columns = 32;

// ---------------------------------------------------------------------------
// Recipient states

// Stored as a 32-bit integer; the interface colours rows by these values.
enum recipient_state : int32_t {
    recipient_sent = 0,      // no delivery line: no copy was delivered
    recipient_delivered = 1, // a copy was delivered; no confirmation that counts
    recipient_confirmed = 2, // a confirmation record that counts exists
};

// The judgement on one recipient of one message.
struct recipient_outcome {
    recipient_state state = recipient_sent;
    bool late = false;          // a confirmation exists, made after the expiry
    int64_t confirmed_at = 0;   // time of the confirmation that counts, else 0
    char *channel = nullptr;    // its channel text ("?" when it has none)

    recipient_outcome() = default;
    recipient_outcome(const recipient_outcome &) = delete;
    recipient_outcome &operator=(const recipient_outcome &) = delete;
    recipient_outcome(recipient_outcome &&other) noexcept;
    ~recipient_outcome();
};

void recipient_outcome_free(recipient_outcome &o);

// The time in D/sent/N/revoked, or 0 when there is no readable record.
int64_t revocation_time(int64_t n);
// Judges user as a recipient of message n (m is its reference copy) from the
// user names of the delivery log, sorted (strlist_sort), and the user's
// mailbox records (read once per user and cached). revoked_at is
// revocation_time(n).
recipient_outcome evaluate_recipient(const char *user, int64_t n, const strlist &delivered,
                                     const message &m, int64_t revoked_at);

// Reads into the cache of mailbox records (load_records) those of every
// recipient of the messages numbered in numbers: the first load of a report
// then costs the slowest mailboxes, not the sum of all of them.
void load_recipient_records(const strlist &numbers);

// ---------------------------------------------------------------------------
// Summaries: one message in a list

struct message_summary {
    int64_t number = 0;
    struct message message; // the reference copy D/sent/N/msg
    int32_t confirmed = 0;
    int32_t delivered = 0;
    int32_t sent = 0;
    bool revoked = false; // the revocation record exists
    bool expired = false; // the expiry has passed now

    message_summary() = default;
    message_summary(const message_summary &) = delete;
    message_summary &operator=(const message_summary &) = delete;
    ~message_summary();
};

// Fills s for message n; false (s left empty) when n is not to be listed: a
// cancelled send, an unreadable reference copy, or no recipients.
bool load_summary(int64_t n, message_summary &s);
void free_summary(message_summary &s);
// Appends "3 confirmed · 1 delivered", or "all confirmed (4)".
void summary_text(const message_summary &s, textbuf &out);

// Summaries kept from one reload of a list to the next, so that an idle
// reload reads almost nothing. A kept summary serves again only while
// nothing it was built from can have changed: the files of its sent record
// (each stamped with its identity, size and times, and a stamp less than a
// second old never trusted: a change within the same clock tick would leave
// it as it was) and the mailbox records of its recipients (none of their
// tables has changed since, refresh_records). Its answers are load_summary's.
struct kept_summary;
struct summary_cache {
    std::unordered_map<int64_t, std::unique_ptr<kept_summary>> kept;
    // The last question to the records cache, answered once for all the
    // summaries that ask it: whose records have changed after generation
    // since, as of generation at (records_changed_since).
    uint64_t since = 0;
    uint64_t at = UINT64_MAX;
    bool known = false;
    strlist changed;
    uint64_t prepared_at = 0; // the records' generation at the last prepare

    summary_cache();
    summary_cache(const summary_cache &) = delete;
    summary_cache &operator=(const summary_cache &) = delete;
    ~summary_cache();
};
// Prepares a reload of the messages numbered in numbers: forgets the others,
// and reads the records of the recipients of those not kept yet, several
// mailboxes at once.
void summary_cache_prepare(summary_cache &c, const strlist &numbers);
// load_summary through the cache.
bool load_summary_kept(summary_cache &c, int64_t n, message_summary &s);

// ---------------------------------------------------------------------------
// Recipient lines: one row per recipient with the sentence of its state

struct recipient_line {
    char *name;
    recipient_state state;
    char *description; // never NULL; "" when there is nothing to say
    // What the description is made of.
    bool late;            // a confirmation exists, made after the expiry
    int64_t confirmed_at; // of the confirmation that counts, else 0
    char *channel;        // its channel text, else NULL
    int64_t terminals;    // written to, from the delivery log; -1: no copy or no count
    int64_t postponed;    // latest postponement of a delivered copy, 0: never
    bool given_up;        // no copy, and its mailbox failed too often to try again
};

struct recipient_lines {
    recipient_line *items = nullptr;
    size_t count = 0;
    size_t cap = 0;

    recipient_lines() = default;
    recipient_lines(const recipient_lines &) = delete;
    recipient_lines &operator=(const recipient_lines &) = delete;
    ~recipient_lines();
};

// Appends one line per entry of the recipients file of n, in file order,
// with the facts of each recipient's state and an empty description.
void judge_recipients(int64_t n, const message &m, recipient_lines &out);
// Appends the sentence that describes the state of l; revoked, expired and
// incomplete (a send still to be finished) are the message's.
void describe_recipient(const recipient_line &l, bool revoked, bool expired, bool incomplete, textbuf &out);
// judge_recipients with the description of every line.
void describe_recipients(int64_t n, const message &m, recipient_lines &out);
// Frees every line and the array; the list is empty afterwards.
void free_recipient_lines(recipient_lines &l);

// ---------------------------------------------------------------------------
// Commands. Each takes the arguments that follow its name on kelv's command
// line, like send (the entry has already refused too many); an absent
// argument is reported in the command's own words. Each prints its result on
// standard output and ends the process through die() on failure. (Taking the
// argument vector also keeps revoke apart from the C library's revoke(2).)

int list(int argc, char **argv);
int status(int argc, char **argv);
int revoke(int argc, char **argv);
int remind(int argc, char **argv);
int purge(int argc, char **argv);
// Overloads the C library's log(double) by its argument types.
int log(int argc, char **argv);

// The reference copy of message n, or the end of the command with "no such
// message: ARG" (arg as the user typed it).
void read_reference(int64_t n, const char *arg, message &m);

// The JSON forms of the reports: a time of 0 (none) and a NULL text are null;
// a message is its number (n), date, author, title and expiry.
nlohmann::ordered_json json_time(int64_t t);
nlohmann::ordered_json json_text(const char *s);
nlohmann::ordered_json json_message(int64_t n, const message &m);

// The seconds of a purge duration ("90d", "12h", "30m"); false when the text
// is malformed or the seconds do not fit in a signed 64-bit integer.
bool parse_duration(const char *text, int64_t &seconds);

// ---------------------------------------------------------------------------
// History of a message from the journal

// The fields of one journal entry that the history shows. A missing field is
// the empty string once the entry is filled.
struct log_entry {
    char *event = nullptr;   // KELV_EVENT
    char *user = nullptr;    // KELV_USER
    char *channel = nullptr; // KELV_CHANNEL
    char *details = nullptr; // KELV_DETAILS
    char *author = nullptr;  // KELV_AUTHOR
    char *message = nullptr; // MESSAGE
    char *uid = nullptr;     // _UID, recorded by the journal itself
    int64_t time = 0;        // seconds since the epoch, 0 when unknown
    bool trusted = false;    // written by the writer expected for the event
    // Not an entry of the journal: it stands for this many more entries of
    // the writer uid that were left out.
    size_t left_out = 0;

    log_entry() = default;
    log_entry(const log_entry &) = delete;
    log_entry &operator=(const log_entry &) = delete;
    ~log_entry();
};

void log_entry_free(log_entry &e);
// Whether e was written by the writer expected for its event: admin_uid for
// kelv's events, for the user's own the named user, who must be one of the
// recipients.
bool log_entry_trusted(const log_entry &e, uid_t admin_uid, const strlist &recipients);
// Appends the history line of an entry of message n, without its newline:
// the time, a warning when it is not trusted, and the event's sentence. The
// line is cleaned and kept on one line; fields a user may have written are
// cut at user_field_columns.
void log_entry_line(const log_entry &e, int64_t n, textbuf &out);
// The value of field in the journal's current entry, or "" when it has none.
// Caller frees.
char *journal_field(const systemd_api &sd, sd_journal *j, const char *field);
// Hands each entry of the history of message n (m) in the journal read
// through sd to each, in journal order, with its writer judged; false when
// there is no journal (sd NULL, or it cannot be opened). With an
// untrusted_limit, at most that many entries that cannot be trusted are
// handed of each writer, and then, for each writer over the limit, one entry
// with left_out saying how many more there were: a user who floods the
// journal with entries about a message shows a few of them, not all.
bool read_history(int64_t n, const message &m, const systemd_api *sd, size_t untrusted_limit,
                  const std::function<void(const log_entry &)> &each);
// Prints the heading of message n and its history read through sd (with
// untrusted_limit as read_history); with no journal the heading alone.
void log_history(int64_t n, const message &m, const systemd_api *sd, size_t untrusted_limit);
// The time of the journal's latest entry about message n, in microseconds; 0
// when there is none or no journal.
uint64_t latest_history_entry(int64_t n, const systemd_api *sd);
// The untrusted entries the message view shows of each writer.
const size_t history_untrusted_limit = 10;
// The history as the message view shows it: a first line "#" and
// latest_history_entry, then, unless the second argument is "latest", what
// kelv log prints, with history_untrusted_limit.
int history(int argc, char **argv);
// The same as one JSON document: the message, and its events, or null for
// them with no journal.
void log_history_json(int64_t n, const message &m, const systemd_api *sd);
