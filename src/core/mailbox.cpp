// Mailboxes. kelv and any number of the user's kelvora-user processes work in
// a mailbox at once, without locks: a copy appears by one rename of a complete
// file, a confirmation by one hard link, markers are empty files, and every
// removal tolerates a file that is already gone. A repeated delivery never
// undoes a confirmation, because the write step refuses to write once the
// message is handled.
#include "core.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <deque>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int mailbox_time_limit = 20;
const size_t records_output_limit = 4194304;

// What a child step works on. The mailbox is reached from D/users, which is
// root's, by the user's name: one path component (user_lookup refuses any
// other name).
struct step {
    const char *users; // D/users
    const char *name;  // the mailbox below it
    long long n;
};

char *users_path() { return xasprintf("%s/users", var_dir); }

// "N" with a suffix, a name inside one of the mailbox's directories.
struct entry_name {
    char text[40];
    entry_name(long long n, const char *suffix) { snprintf(text, sizeof text, "%lld%s", n, suffix); }
};

// --- Child steps: they run as the user, make only system calls and end at
// once, so what they allocate goes with them. Everything inside the mailbox is
// reached through open_beneath and *at calls on single names: a link or a
// mount planted by the user is never followed, so no step can be sent
// elsewhere, nor put to sleep in a file system of the user's that never
// answers. ---

int open_box(const step &s)
{
    unique_fd users(open(s.users, O_PATH | O_DIRECTORY | O_CLOEXEC));
    return users.valid() ? open_beneath(users.get(), s.name, O_RDONLY | O_DIRECTORY) : -1;
}

int open_dir(int box, const char *name, int flags = O_PATH)
{
    return open_beneath(box, name, flags | O_DIRECTORY);
}

// After a failed open: nothing is there, or nothing that the system would
// have put there (the mailbox's files are never written through a link or
// into another file system).
bool nothing_of_ours(int err)
{
    return err == ENOENT || err == ENOTDIR || err == ELOOP || err == EXDEV;
}

int write_step(void *arg)
{
    const step &s = *static_cast<step *>(arg);
    unique_fd box(open_box(s));
    if (!box.valid())
        return 1;
    for (const char *dir : {"inbox", "read", "acks", "state"})
        if (mkdirat(box.get(), dir, 0755) < 0 && errno != EEXIST)
            return 1;
    unique_fd inbox(open_dir(box.get(), "inbox")), read_dir(open_dir(box.get(), "read")),
        acks(open_dir(box.get(), "acks"));
    if (!inbox.valid() || !read_dir.valid() || !acks.valid())
        return 1;
    entry_name copy(s.n, ""), tmp(s.n, ".tmp");
    if (exists_beneath(read_dir.get(), copy.text) || exists_beneath(acks.get(), copy.text))
        return 0; // handled: never put back into the inbox
    // The input is the copy's length on a line, then the copy: a sender that
    // dies while writing must leave no truncated copy behind.
    textbuf input;
    if (read_fd(0, MESSAGE_FILE_LIMIT + 32, input) < 0 || !input.data)
        return 1;
    char *nl = strchr(input.data, '\n');
    int64_t expected;
    if (!nl)
        return 1;
    *nl = '\0';
    const char *bytes = nl + 1;
    size_t len = input.len - static_cast<size_t>(bytes - input.data);
    if (!parse_number(input.data, expected) || expected == 0 || static_cast<size_t>(expected) != len ||
        len > MESSAGE_FILE_LIMIT)
        return 1;
    unlinkat(inbox.get(), tmp.text, 0);
    int fd = open_beneath(inbox.get(), tmp.text, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0)
        return 1;
    bool ok = write_all(fd, bytes, len) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || renameat(inbox.get(), tmp.text, inbox.get(), copy.text) < 0) {
        unlinkat(inbox.get(), tmp.text, 0);
        return 1;
    }
    unique_fd done(open_beneath(inbox.get(), copy.text, O_PATH));
    struct stat st;
    return done.valid() && fstat(done.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 1 ? 0 : 1;
}

// Removes name from the directory dir of the mailbox; true when it is gone.
bool remove_entry(int box, const char *dir, const char *name)
{
    unique_fd d(open_dir(box, dir));
    if (!d.valid())
        return nothing_of_ours(errno);
    unlinkat(d.get(), name, 0);
    return !exists_beneath(d.get(), name);
}

int remove_step(void *arg)
{
    const step &s = *static_cast<step *>(arg);
    unique_fd box(open_box(s));
    if (!box.valid())
        return nothing_of_ours(errno) ? 0 : 1;
    remove_entry(box.get(), "state", entry_name(s.n, ".term").text);
    remove_entry(box.get(), "state", entry_name(s.n, ".gui").text);
    return remove_entry(box.get(), "inbox", entry_name(s.n, "").text) ? 0 : 1;
}

int clear_step(void *arg)
{
    const step &s = *static_cast<step *>(arg);
    unique_fd box(open_box(s));
    unique_fd state(box.valid() ? open_dir(box.get(), "state") : -1);
    if (!state.valid())
        return errno == ENOENT || errno == ENOTDIR ? 0 : 1;
    bool cleared = true;
    for (const char *suffix : {".term", ".gui"}) {
        entry_name marker(s.n, suffix);
        unlinkat(state.get(), marker.text, 0);
        cleared = cleared && !exists_beneath(state.get(), marker.text);
    }
    return cleared ? 0 : 1;
}

int purge_step(void *arg)
{
    const step &s = *static_cast<step *>(arg);
    unique_fd box(open_box(s));
    if (!box.valid())
        return nothing_of_ours(errno) ? 0 : 1;
    entry_name n(s.n, ""), term(s.n, ".term"), gui(s.n, ".gui");
    bool clean = remove_entry(box.get(), "inbox", n.text);
    clean = remove_entry(box.get(), "read", n.text) && clean;
    clean = remove_entry(box.get(), "acks", n.text) && clean;
    clean = remove_entry(box.get(), "state", term.text) && clean;
    clean = remove_entry(box.get(), "state", gui.text) && clean;
    return clean ? 0 : 1;
}

// The names in a directory of the mailbox, sorted, for lookups by name: a
// user has records for few of the messages asked about, so listing a
// directory once costs far less than probing a path for every message.
void list_names(int dir, strlist &out)
{
    int fd = dir >= 0 ? dup(dir) : -1;
    if (DIR *d = fd >= 0 ? fdopendir(fd) : nullptr) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                strlist_push_copy(out, e->d_name);
        closedir(d);
    } else if (fd >= 0) {
        close(fd);
    }
    strlist_sort(out);
}

bool listed(const strlist &names, const char *name)
{
    return names.count > 0 &&
           bsearch(&name, names.items, names.count, sizeof *names.items, compare_strings) != nullptr;
}

// Prints "A N first-line" for a confirmation record and "S N time" for the
// latest postponement of every number on standard input.
int read_step(void *arg)
{
    const step &s = *static_cast<step *>(arg);
    unique_fd box(open_box(s));
    if (!box.valid())
        return 1;
    textbuf input;
    read_fd(0, records_output_limit, input);
    unique_fd acks_dir(open_dir(box.get(), "acks", O_RDONLY)), state_dir(open_dir(box.get(), "state", O_RDONLY));
    strlist acks, state;
    list_names(acks_dir.get(), acks);
    list_names(state_dir.get(), state);
    const char *p = textbuf_str(input);
    while (*p) {
        const char *line = p;
        const char *nl = strchr(p, '\n');
        size_t len = nl ? static_cast<size_t>(nl - p) : strlen(p);
        p += len + (nl ? 1 : 0);
        bool ok = len >= 1 && len <= 23;
        for (size_t i = 0; ok && i < len; i++)
            ok = line[i] >= '0' && line[i] <= '9';
        if (!ok)
            continue;
        char number[24];
        memcpy(number, line, len);
        number[len] = '\0';

        int fd = listed(acks, number) ? open_beneath(acks_dir.get(), number, O_RDONLY | O_NONBLOCK) : -1;
        if (fd >= 0) {
            struct stat st;
            char buf[200];
            ssize_t got;
            if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (got = read(fd, buf, sizeof buf)) >= 0) {
                const char *end = static_cast<const char *>(memchr(buf, '\n', static_cast<size_t>(got)));
                int shown = end ? static_cast<int>(end - buf) : static_cast<int>(got);
                printf("A %s %.*s\n", number, shown, buf);
            }
            close(fd);
        }
        int64_t latest = 0;
        for (const char *suffix : {"term", "gui"}) {
            char marker[40];
            snprintf(marker, sizeof marker, "%s.%s", number, suffix);
            struct stat st;
            int m = listed(state, marker) ? open_beneath(state_dir.get(), marker, O_PATH) : -1;
            if (m >= 0 && fstat(m, &st) == 0 && S_ISREG(st.st_mode) && st.st_mtime > latest)
                latest = st.st_mtime;
            if (m >= 0)
                close(m);
        }
        if (latest != 0)
            printf("S %s %lld\n", number, static_cast<long long>(latest));
    }
    return 0;
}

// The owner a usable mailbox has: the user, or in test mode (and whenever
// the children keep the caller's identity) the caller.
uid_t expected_owner(const user_info &u)
{
    return geteuid() == 0 && !test_mode ? u.uid : geteuid();
}

// The user's mailbox as root may use it: a directory (not a link, not a
// mount point) owned by its user; with create, made when missing and, when it
// still belongs to root, given to the user. -1 with errno otherwise.
int open_mailbox(const user_info &u, bool create)
{
    char *users = users_path();
    unique_fd dir(open(users, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    free(users);
    if (!dir.valid())
        return -1;
    unique_fd box(open_beneath(dir.get(), u.name, O_RDONLY | O_DIRECTORY));
    // Only this directory is ever made by root; D/users belongs to root, so
    // the user cannot put anything at this name.
    if (!box.valid() && errno == ENOENT && create && (mkdirat(dir.get(), u.name, 0700) == 0 || errno == EEXIST))
        box.reset(open_beneath(dir.get(), u.name, O_RDONLY | O_DIRECTORY));
    struct stat st;
    if (!box.valid() || fstat(box.get(), &st) < 0)
        return -1;
    if (create && st.st_uid == 0 && geteuid() == 0 && !test_mode) {
        if (fchown(box.get(), u.uid, u.gid) < 0)
            return -1;
        st.st_uid = u.uid;
    }
    if (st.st_uid != expected_owner(u)) {
        errno = EPERM; // someone else's: never used
        return -1;
    }
    return box.release();
}

bool mailbox_usable(const user_info &u)
{
    unique_fd box(open_mailbox(u, false));
    return box.valid();
}

// Runs fn on the mailbox of u as the user; the exit status, or -1.
int run_step(const user_info &u, int (*fn)(void *), long long n, const textbuf *input, textbuf *output,
             size_t limit)
{
    char *users = users_path();
    step s = {users, u.name, n};
    int rc = run_as_user(u, fn, &s, input, output, limit, mailbox_time_limit);
    free(users);
    return rc;
}

} // namespace

bool deliver_copy(const user_info &u, int64_t n, const textbuf &bytes)
{
    unique_fd box(open_mailbox(u, true));
    if (!box.valid())
        return false;
    box.reset();
    textbuf input;
    textbuf_printf(input, "%zu\n", bytes.len);
    textbuf_append(input, textbuf_str(bytes), bytes.len);
    return run_step(u, write_step, n, &input, nullptr, 0) == 0;
}

bool remove_copy(const user_info &u, int64_t n)
{
    if (!mailbox_usable(u))
        return true;
    return run_step(u, remove_step, n, nullptr, nullptr, 0) == 0;
}

bool clear_postponements(const user_info &u, int64_t n)
{
    if (!mailbox_usable(u))
        return false;
    return run_step(u, clear_step, n, nullptr, nullptr, 0) == 0;
}

bool purge_copies(const user_info &u, int64_t n)
{
    if (!mailbox_usable(u))
        return true;
    return run_step(u, purge_step, n, nullptr, nullptr, 0) == 0;
}

record_table::~record_table() { record_table_free(*this); }

void record_table_free(record_table &t)
{
    for (size_t i = 0; i < t.count; i++)
        free(t.items[i].confirmation);
    free(t.items);
    t.items = nullptr;
    t.count = 0;
    t.cap = 0;
}

// The record of n in the table, inserted in order when there is none yet.
static mailbox_record &record_for(record_table &t, int64_t n)
{
    if (const mailbox_record *found = find_record(t, n))
        return t.items[found - t.items];
    if (t.count == t.cap) {
        t.cap = t.cap ? t.cap * 2 : 16;
        t.items = static_cast<mailbox_record *>(xrealloc(t.items, t.cap * sizeof *t.items));
    }
    // The read step answers in the order it was asked, ascending: the new
    // record almost always goes at the end.
    size_t at = t.count;
    while (at > 0 && t.items[at - 1].number > n)
        at--;
    memmove(&t.items[at + 1], &t.items[at], (t.count - at) * sizeof *t.items);
    t.count++;
    mailbox_record &r = t.items[at];
    r.number = n;
    r.confirmation = nullptr;
    r.postponed = 0;
    return r;
}

void parse_records(const char *output, size_t len, record_table &table)
{
    // The output comes from a process of the user: clean it before anything
    // of it can reach a report.
    textbuf clean;
    clean_text(output, len, clean);
    char *save = nullptr;
    for (char *line = strtok_r(clean.data, "\n", &save); line; line = strtok_r(nullptr, "\n", &save)) {
        if (strlen(line) < 3 || line[1] != ' ')
            continue;
        char *blank = strchr(line + 2, ' ');
        if (!blank)
            continue;
        *blank = '\0';
        int64_t n;
        if (!parse_number(line + 2, n))
            continue;
        mailbox_record &r = record_for(table, n);
        const char *rest = blank + 1;
        int64_t t;
        if (line[0] == 'A' && !r.confirmation)
            r.confirmation = xstrdup(rest);
        else if (line[0] == 'S' && parse_number(rest, t) && t > r.postponed)
            r.postponed = t;
    }
}

void collect_records(const user_info &u, const strlist &numbers, record_table &table)
{
    record_table_free(table);
    textbuf input;
    for (size_t i = 0; i < numbers.count; i++)
        textbuf_printf(input, "%s\n", numbers.items[i]);
    if (input.len == 0 || !mailbox_usable(u))
        return;
    textbuf output;
    if (run_step(u, read_step, 0, &input, &output, records_output_limit) != -1)
        parse_records(textbuf_str(output), output.len, table);
}

namespace {

struct cached_records {
    std::string name;
    record_table table;
    explicit cached_records(const char *n) : name(n) {}
};

// The records of each user seen so far, and the message numbers they were
// read for. A deque keeps the tables in place as users are added.
struct records_cache {
    std::deque<cached_records> users;
    strlist numbers;
    bool numbers_loaded = false;
};

records_cache cache;

} // namespace

const record_table &records_for_user(const char *name)
{
    for (cached_records &e : cache.users)
        if (e.name == name)
            return e.table;
    if (!cache.numbers_loaded) {
        list_sent_numbers(cache.numbers);
        cache.numbers_loaded = true;
    }
    cached_records &e = cache.users.emplace_back(name);
    user_info u;
    if (user_lookup(name, u))
        collect_records(u, cache.numbers, e.table);
    return e.table;
}

const mailbox_record *find_record(const record_table &t, int64_t n)
{
    // The table is kept in ascending order of message numbers.
    size_t lo = 0, hi = t.count;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (t.items[mid].number < n)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < t.count && t.items[lo].number == n ? &t.items[lo] : nullptr;
}

void forget_records()
{
    cache.users.clear();
    strlist_free(cache.numbers);
    cache.numbers_loaded = false;
}

namespace {

// After a failed try of action for the recipient named user in the record
// directory dir: true when the recipient is now given up on (added to
// given_up), false when the work stays to be done.
bool give_up_after(const char *dir, const char *action, const char *user, strlist &given_up)
{
    if (count_failed_try(dir, action, user) < tries_limit)
        return false;
    strlist_push_copy(given_up, user);
    return true;
}

} // namespace

bool finish_revocation(int64_t n, strlist &given_up)
{
    strlist recipients;
    read_recipients(n, recipients);
    char *dir = sent_path(n, nullptr);
    int failures = 0;
    for (size_t i = 0; i < recipients.count; i++) {
        user_info u;
        if (user_lookup(recipients.items[i], u) && !remove_copy(u, n) &&
            !give_up_after(dir, "revoke", recipients.items[i], given_up))
            failures++;
    }
    free(dir);
    if (failures)
        return false;
    remove_marker(n, "revoking");
    return true;
}

bool finish_deletion(const char *path, int64_t n, strlist &given_up)
{
    char *list = xasprintf("%s/recipients", path);
    strlist recipients;
    read_recipients_file(list, recipients);
    free(list);
    // The directory stays until every mailbox is clean: a copy left in an
    // inbox would ask its user about a deleted message, and the recovery pass
    // tries again from the directory.
    int unclean = 0;
    for (size_t i = 0; i < recipients.count; i++) {
        user_info u;
        if (user_lookup(recipients.items[i], u) && !purge_copies(u, n) &&
            !give_up_after(path, "purge", recipients.items[i], given_up))
            unclean++;
    }
    if (unclean)
        return false;
    DIR *d = opendir(path);
    if (!d)
        return rmdir(path) == 0;
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            unlinkat(dirfd(d), e->d_name, 0);
    closedir(d);
    return rmdir(path) == 0;
}
