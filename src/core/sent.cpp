// Sent records. Numbers only grow: .seq holds the last number handed out,
// and a record's directory is created with mkdir, which fails for an existing
// name, so a lost or damaged .seq costs attempts, never a shared number.
// Every record file is replaced atomically or only appended to, so readers
// see whole contents; the first delivery line of a user is the one that
// counts.
#include "core.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace {

const int marker_flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
const int64_t largest_number = 999999999999999999LL;

// Takes an exclusive lock on the whole file, retrying interrupted waits.
//
// A record lock (fcntl), not flock: a flock belongs to the open file and so
// also to every child forked while it is held, until the child has closed
// its copy. A kelv killed just after a fork (a mailbox child, the agent's
// starter) would leave its lock to that child for a moment, and the next
// command's recovery pass would skip the message as busy. A record lock
// belongs to the process alone and is gone before its death is reported.
// Its one trap: closing any descriptor of the file releases it, so nothing
// opens a lock file but this function, once per process and file.
int take_lock(int fd, bool nonblocking)
{
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    for (;;) {
        if (fcntl(fd, nonblocking ? F_SETLK : F_SETLKW, &whole) == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

} // namespace

char *sent_path(int64_t n, const char *name)
{
    if (!name)
        return xasprintf("%s/sent/%lld", var_dir, static_cast<long long>(n));
    return xasprintf("%s/sent/%lld/%s", var_dir, static_cast<long long>(n), name);
}

int64_t parse_message_argument(const char *text)
{
    if (!text || !*text)
        die("missing message ID");
    int64_t n;
    if (!parse_number(text, n))
        die("no such message: %s", text);
    return n;
}

int64_t allocate_message_number()
{
    char *lock_path = xasprintf("%s/sent/.seq.lock", var_dir);
    char *seq_path = xasprintf("%s/sent/.seq", var_dir);
    unique_fd lock(open(lock_path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lock.valid() || take_lock(lock.get(), false) < 0)
        die("%s: %s", lock_path, strerror(errno));

    int64_t last = 0;
    textbuf seq;
    if (read_file(seq_path, 64, true, seq) == 0 && seq.data) {
        if (char *nl = strchr(seq.data, '\n'))
            *nl = '\0';
        if (!parse_number(seq.data, last))
            last = 0;
    }
    int64_t n;
    for (;;) {
        if (last >= largest_number)
            die("%s: %s", seq_path, strerror(EOVERFLOW));
        n = last + 1;
        char *dir = sent_path(n, nullptr);
        if (mkdir(dir, 0700) == 0) {
            free(dir);
            break;
        }
        if (errno != EEXIST)
            die("%s: %s", dir, strerror(errno));
        free(dir);
        last = n;
    }
    char text[32];
    int len = snprintf(text, sizeof text, "%lld\n", static_cast<long long>(n));
    if (write_file_atomic(seq_path, text, static_cast<size_t>(len), 0600) < 0)
        die("%s: %s", seq_path, strerror(errno));
    free(lock_path);
    free(seq_path);
    return n;
}

unique_fd lock_message(int64_t n, bool nonblocking)
{
    char *path = sent_path(n, "lock");
    unique_fd fd(open(path, marker_flags, 0600));
    free(path);
    if (fd.valid() && take_lock(fd.get(), nonblocking) < 0)
        fd.reset();
    return fd;
}

void touch_marker(int64_t n, const char *name)
{
    char *path = sent_path(n, name);
    unique_fd fd(open(path, marker_flags, 0600));
    free(path);
}

bool has_marker(int64_t n, const char *name)
{
    char *path = sent_path(n, name);
    bool found = path_exists(path);
    free(path);
    return found;
}

void remove_marker(int64_t n, const char *name)
{
    char *path = sent_path(n, name);
    unlink(path);
    free(path);
}

void close_send(int64_t n)
{
    char *users = xasprintf("%s/users", var_dir);
    char *dir = sent_path(n, nullptr);
    syncfs_path(users);
    fsync_path(dir);
    remove_marker(n, "incomplete");
    fsync_path(dir);
    free(users);
    free(dir);
}

void read_recipients_file(const char *path, strlist &out)
{
    textbuf b;
    if (read_file(path, 4194304, true, b) < 0 || !b.data)
        return;
    char *save = nullptr;
    for (char *name = strtok_r(b.data, " \t\n", &save); name; name = strtok_r(nullptr, " \t\n", &save))
        strlist_push_copy(out, name);
}

void read_recipients(int64_t n, strlist &out)
{
    char *path = sent_path(n, "recipients");
    read_recipients_file(path, out);
    free(path);
}

namespace {

const char given_up_mark[] = "given-up";

// Reads the delivery log of n into the lists, as parse_deliveries does.
void walk_deliveries(int64_t n, strlist *users, strlist *counts, strlist *given_up)
{
    char *path = sent_path(n, "delivery");
    textbuf b;
    int rc = read_file(path, 16777216, true, b);
    free(path);
    if (rc == 0)
        parse_deliveries(textbuf_str(b), b.len, users, counts, given_up);
}

void append_delivery_line(int64_t n, const char *user, const char *what)
{
    char line[400];
    int len = snprintf(line, sizeof line, "%s %lld %s\n", user, static_cast<long long>(now()), what);
    if (len < 1 || len > 399)
        return;
    char *path = sent_path(n, "delivery");
    unique_fd fd(open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    free(path);
    if (fd.valid())
        write_all(fd.get(), line, static_cast<size_t>(len));
}

} // namespace

void parse_deliveries(const char *text, size_t len, strlist *users, strlist *counts, strlist *given_up)
{
    std::unordered_set<std::string> seen;
    for (size_t pos = 0; pos < len;) {
        const char *line = text + pos;
        const char *nl = static_cast<const char *>(memchr(line, '\n', len - pos));
        size_t llen = nl ? static_cast<size_t>(nl - line) : len - pos;
        pos += llen + (nl ? 1 : 0);
        // "USER TIME COUNT": the count (or the mark of a recipient given up
        // on) is the third word; a missing one counts as 0.
        char *copy = xstrndup(line, llen);
        char user[256], count[32] = "0";
        bool taken = sscanf(copy, "%255s %*s %31s", user, count) >= 1 && seen.insert(user).second;
        free(copy);
        if (!taken)
            continue;
        if (strcmp(count, given_up_mark) == 0) {
            if (given_up)
                strlist_push_copy(*given_up, user);
        } else if (users && counts) {
            strlist_push_copy(*users, user);
            strlist_push_copy(*counts, count);
        }
    }
}

void read_deliveries(int64_t n, strlist &users, strlist &counts)
{
    walk_deliveries(n, &users, &counts, nullptr);
}

void read_given_up(int64_t n, strlist &users)
{
    walk_deliveries(n, nullptr, nullptr, &users);
}

void append_delivery(int64_t n, const char *user, int terminals)
{
    char count[16];
    snprintf(count, sizeof count, "%d", terminals);
    append_delivery_line(n, user, count);
}

void append_given_up(int64_t n, const char *user)
{
    append_delivery_line(n, user, given_up_mark);
}

int count_failed_try(const char *dir, const char *action, const char *user)
{
    char *path = xasprintf("%s/failures", dir);
    char *line = xasprintf("%s %s %lld\n", action, user, static_cast<long long>(now()));
    unique_fd fd(open(path, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    int tries = 0;
    textbuf b;
    if (fd.valid() && write_all(fd.get(), line, strlen(line)) == 0 && lseek(fd.get(), 0, SEEK_SET) == 0 &&
        read_fd(fd.get(), 16777216, b) == 0) {
        char *save = nullptr;
        for (char *l = strtok_r(b.data, "\n", &save); l; l = strtok_r(nullptr, "\n", &save)) {
            char a[16], u[256];
            tries += sscanf(l, "%15s %255s", a, u) == 2 && strcmp(a, action) == 0 && strcmp(u, user) == 0;
        }
    } else {
        tries = 1; // nothing can be counted: keep trying, as without a limit
    }
    free(path);
    free(line);
    return tries;
}

int list_sent_numbers(strlist &out)
{
    char *dir = xasprintf("%s/sent", var_dir);
    int rc = list_numbered(dir, out);
    free(dir);
    return rc;
}

void print_text_cell(const char *text, size_t len)
{
    char *whole = xstrndup(text, len);
    textbuf cell;
    textbuf_append_cell(cell, whole, 40);
    fwrite(cell.data, 1, cell.len, stdout);
    free(whole);
}
