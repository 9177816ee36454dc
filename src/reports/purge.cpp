// kelv purge: deletes the sent records older than a duration, and every copy
// and record of them in the mailboxes.
//
// A record leaves D/sent by one rename into its deletion directory, taken
// under the message lock without waiting: purge never waits behind a send, a
// recovery or a revocation, it leaves such a message for another time. After
// the rename no other command can reach the number, and an interrupted
// deletion is finished by the next recovery pass. A send that has not
// finished is never deleted, however old.
#include "reports.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace {

// The date of the reference copy, or for a record without one (a cancelled
// send, a damaged file) the modification time of its directory, else 0.
int64_t message_age(int64_t n)
{
    char *path = sent_path(n, "msg");
    message m;
    int rc = message_read(path, m);
    free(path);
    if (rc == 0)
        return m.date;
    char *dir = sent_path(n, nullptr);
    struct stat st;
    int64_t t = stat(dir, &st) == 0 ? static_cast<int64_t>(st.st_mtime) : 0;
    free(dir);
    return t;
}

// Moves the record of n into its deletion directory; true when it is there.
bool delete_record(int64_t n, const char *sent_dir, char *&deleting)
{
    unique_fd lock = lock_message(n, true);
    if (!lock.valid())
        return false;
    // The send may have begun between the first look and the lock.
    if (has_marker(n, "incomplete"))
        return false;
    char *from = sent_path(n, nullptr);
    deleting = xasprintf("%s/.deleting-%lld", sent_dir, static_cast<long long>(n));
    bool moved = rename(from, deleting) == 0;
    free(from);
    if (moved)
        fsync_path(sent_dir);
    return moved;
}

} // namespace

bool parse_duration(const char *text, int64_t &seconds)
{
    size_t len = strlen(text);
    if (len < 2)
        return false;
    int64_t unit;
    switch (text[len - 1]) {
    case 'm': unit = 60; break;
    case 'h': unit = 3600; break;
    case 'd': unit = 86400; break;
    default: return false;
    }
    char *number = xstrndup(text, len - 1);
    int64_t count;
    bool ok = parse_number(number, count);
    free(number);
    // Eighteen digits of days do not fit in seconds; wrapping around would
    // put the cutoff in the future and delete every message.
    if (!ok || count > INT64_MAX / unit)
        return false;
    seconds = count * unit;
    return true;
}

int purge(int argc, char **argv)
{
    const char *arg = argc > 0 ? argv[0] : nullptr;
    if (!arg || !*arg)
        die("missing duration, for example 90d");
    int64_t age_limit;
    if (!parse_duration(arg, age_limit))
        die("invalid duration: %s (for example 90d, 12h, 30m)", arg);
    int64_t cutoff = now() - age_limit;

    char *sent_dir = xasprintf("%s/sent", var_dir);
    strlist numbers;
    list_sent_numbers(numbers);
    int deleted = 0;
    for (size_t i = 0; i < numbers.count; i++) {
        int64_t n;
        if (!parse_number(numbers.items[i], n) || has_marker(n, "incomplete"))
            continue;
        if (message_age(n) >= cutoff)
            continue;
        char *deleting = nullptr;
        bool moved = delete_record(n, sent_dir, deleting);
        if (moved) {
            event("DELETED", n, nullptr, nullptr, arg, author_name());
            strlist given_up;
            finish_deletion(deleting, n, given_up);
            warn_given_up(n, "deletion of the files of", given_up);
            deleted++;
        }
        free(deleting);
    }
    free(sent_dir);

    if (deleted == 0)
        printf("No messages older than %s.\n", arg);
    else if (deleted == 1)
        printf("Deleted 1 message older than %s.\n", arg);
    else
        printf("Deleted %d messages older than %s.\n", deleted, arg);
    return 0;
}
