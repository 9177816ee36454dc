// kelv revoke and kelv remind.
//
// revoke records the revocation (marker, then record, both flushed) before it
// takes the message lock and before any copy is touched: a send still
// delivering the message sees the record and stops, and an interruption at any
// later step leaves the revoking marker for the recovery pass. The first
// revocation time is kept for good; a repeated revoke only removes leftover
// copies again.
#include "reports.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

void record_revocation(int64_t n)
{
    char *record = sent_path(n, "revoked");
    char text[32];
    int len = snprintf(text, sizeof text, "%lld\n", static_cast<long long>(now()));
    if (write_file_atomic(record, text, static_cast<size_t>(len), 0600) < 0) {
        int saved = errno;
        // Nothing is revoked without the record. Left alone, the marker would
        // make the recovery pass take the copies of a live message away.
        if (!path_exists(record))
            remove_marker(n, "revoking");
        die("%s: %s", record, strerror(saved));
    }
    free(record);
    char *marker = sent_path(n, "revoking");
    char *dir = sent_path(n, nullptr);
    fsync_path(marker);
    fsync_path(dir);
    free(marker);
    free(dir);
    event("REVOKED", n, nullptr, nullptr, nullptr, author_name());
}

} // namespace

int revoke(int argc, char **argv)
{
    const char *arg = argc > 0 ? argv[0] : nullptr;
    int64_t n = parse_message_argument(arg);
    long long id = static_cast<long long>(n);
    message m;
    read_reference(n, arg, m);

    touch_marker(n, "revoking");
    if (!has_marker(n, "revoked"))
        record_revocation(n);

    unique_fd lock = lock_message(n, false);
    if (!lock.valid()) {
        char *dir = sent_path(n, nullptr);
        die("%s: %s", dir, strerror(errno));
    }
    strlist given_up;
    bool done = finish_revocation(n, given_up);
    warn_given_up(n, "removal of the copy of", given_up);
    if (!done)
        die("message %lld revoked, but some copies could not be removed from the mailboxes: the next kelv "
            "command will retry",
            id);
    printf("Message %lld revoked.\n", id);
    return 0;
}

int remind(int argc, char **argv)
{
    const char *arg = argc > 0 ? argv[0] : nullptr;
    int64_t n = parse_message_argument(arg);
    long long id = static_cast<long long>(n);
    message m;
    read_reference(n, arg, m);
    if (has_marker(n, "revoked"))
        die("message %lld has been revoked: nobody to remind", id);
    if (message_expired(m, now()))
        die("message %lld has expired: nobody to remind", id);

    recipient_lines lines;
    describe_recipients(n, m, lines);
    int confirmed = 0, reminded = 0;
    for (size_t i = 0; i < lines.count; i++) {
        const recipient_line &l = lines.items[i];
        if (l.state == recipient_confirmed) {
            confirmed++;
            continue;
        }
        if (l.state != recipient_delivered)
            continue; // no copy to be asked about
        user_info u;
        if (user_lookup(l.name, u) && clear_postponements(u, n)) {
            start_agent(u);
            reminded++;
        }
    }

    char count[16];
    snprintf(count, sizeof count, "%d", reminded);
    event("REMINDED", n, nullptr, nullptr, count, author_name());
    if (reminded == 1)
        printf("Message %lld: 1 recipient reminded.\n", id);
    else if (reminded == 0 && lines.count > 0 && static_cast<size_t>(confirmed) == lines.count)
        printf("Message %lld: everyone has already confirmed, nobody to remind.\n", id);
    else
        printf("Message %lld: %d recipients reminded.\n", id, reminded);
    return 0;
}
