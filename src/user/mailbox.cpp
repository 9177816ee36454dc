// The helper's operations on its user's mailbox.
#include "user.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

config settings;
char *user_name;
char *mailbox_dir;
volatile sig_atomic_t wake_requested;
volatile sig_atomic_t stop_requested;

namespace {

// "M/DIR/N" with an optional suffix. Caller frees.
char *box_path(const char *dir, int64_t n, const char *suffix = "")
{
    return xasprintf("%s/%s/%lld%s", mailbox_dir, dir, static_cast<long long>(n), suffix);
}

bool exists_in(const char *dir, int64_t n)
{
    char *path = box_path(dir, n);
    bool found = path_exists(path);
    free(path);
    return found;
}

void remove_markers(int64_t n)
{
    static const char *const suffixes[] = {".term", ".gui"};
    for (const char *suffix : suffixes) {
        char *marker = box_path("state", n, suffix);
        unlink(marker);
        free(marker);
    }
}

// inbox/N to read/N; fails harmlessly when another process moved it first.
void move_to_read(int64_t n)
{
    char *from = box_path("inbox", n);
    char *to = box_path("read", n);
    rename(from, to);
    free(from);
    free(to);
}

} // namespace

bool record_exists(int64_t n) { return exists_in("acks", n); }

bool copy_present(int64_t n) { return exists_in("inbox", n); }

void collect_pending(strlist &out)
{
    char *inbox = xasprintf("%s/inbox", mailbox_dir);
    strlist names;
    list_numbered(inbox, names);
    free(inbox);
    for (size_t i = 0; i < names.count; i++) {
        int64_t n;
        if (!parse_number(names.items[i], n))
            continue;
        char *copy = box_path("inbox", n);
        struct stat st;
        bool regular = stat(copy, &st) == 0 && S_ISREG(st.st_mode);
        free(copy);
        if (!regular)
            continue;
        if (record_exists(n))
            archive_copy(n);
        else if (copy_expired(n))
            move_to_read(n); // the markers stay: the user did put it off
        else
            strlist_push_copy(out, names.items[i]);
    }
}

bool recently_postponed(int64_t n, const char *suffix)
{
    char *s = xasprintf(".%s", suffix);
    char *marker = box_path("state", n, s);
    struct stat st;
    bool found = stat(marker, &st) == 0;
    free(s);
    free(marker);
    // A marker dated in the future counts as recent too.
    return found && now() - static_cast<int64_t>(st.st_mtime) < settings.remind_minutes * 60;
}

bool copy_expired(int64_t n)
{
    char *copy = box_path("inbox", n);
    message m;
    bool expired = message_read(copy, m) == 0 && message_expired(m, now());
    free(copy);
    return expired;
}

void archive_copy(int64_t n)
{
    move_to_read(n);
    remove_markers(n);
}

void postpone_message(int64_t n, const char *suffix)
{
    char *s = xasprintf(".%s", suffix);
    char *marker = box_path("state", n, s);
    int fd = open(marker, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
        futimens(fd, nullptr);
        close(fd);
    }
    free(s);
    free(marker);
    event("POSTPONED", n, user_name, strcmp(suffix, "term") == 0 ? "terminal" : "desktop", nullptr, nullptr);
}

int confirm_message(int64_t n, const char *channel)
{
    if (record_exists(n)) {
        archive_copy(n);
        return confirm_recorded;
    }
    // The record is always written before the copy is moved: a copy that is
    // gone while a record exists was confirmed by another helper since the
    // look above, not revoked.
    if (!copy_present(n))
        return record_exists(n) ? confirm_recorded : confirm_revoked;
    if (copy_expired(n)) {
        archive_copy(n);
        return confirm_expired;
    }

    char line[RECORD_LINE_LIMIT + 1];
    int len = snprintf(line, sizeof line, "%lld %s\n", static_cast<long long>(now()), channel);
    char *tmp = xasprintf("%s/acks/.%lld.%d", mailbox_dir, static_cast<long long>(n), static_cast<int>(getpid()));
    char *record = box_path("acks", n);
    int fd = -1;
    bool ok = false;
    if (len < 0 || static_cast<size_t>(len) >= sizeof line) {
        errno = ENAMETOOLONG; // the record would not hold the whole channel
    } else {
        unlink(tmp);
        fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        // A link, not a rename: it never replaces a record, and of two
        // racing confirmations exactly one creates it.
        ok = fd >= 0 && write_all(fd, line, static_cast<size_t>(len)) == 0 && fsync(fd) == 0;
        if (fd >= 0) {
            int closed = close(fd);
            ok = ok && closed == 0;
        }
        ok = ok && link(tmp, record) == 0;
    }
    char *error = xstrdup(strerror(errno));
    unlink(tmp);
    free(tmp);
    int result;
    if (ok) {
        char *acks = xasprintf("%s/acks", mailbox_dir);
        fsync_path(acks);
        free(acks);
        archive_copy(n);
        event("CONFIRMED", n, user_name, channel, nullptr, nullptr);
        result = confirm_recorded;
    } else if (path_exists(record)) {
        archive_copy(n); // another process confirmed first
        result = confirm_recorded;
    } else {
        event("CONFIRMATION_FAILED", n, user_name, channel, error, nullptr);
        result = confirm_failed;
    }
    free(error);
    free(record);
    return result;
}
