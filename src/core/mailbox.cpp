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

char *mailbox_path(const char *user)
{
    return xasprintf("%s/users/%s", var_dir, user);
}

// What a child step works on; its paths are formed in the parent.
struct step {
    const char *mailbox;
    long long n;
};

char *in_mailbox(const step &s, const char *dir, const char *suffix)
{
    return xasprintf("%s/%s/%lld%s", s.mailbox, dir, s.n, suffix);
}

// --- Child steps: they run as the user, make only system calls and end at
// once, so what they allocate goes with them. ---

int write_step(void *arg)
{
    const step &s = *static_cast<step *>(arg);
    for (const char *dir : {"inbox", "read", "acks", "state"}) {
        char *path = xasprintf("%s/%s", s.mailbox, dir);
        if (mkdir(path, 0755) < 0 && errno != EEXIST)
            return 1;
        free(path);
    }
    char *read_copy = in_mailbox(s, "read", "");
    char *ack = in_mailbox(s, "acks", "");
    if (path_exists(read_copy) || path_exists(ack))
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
    char *tmp = in_mailbox(s, "inbox", ".tmp");
    char *copy = in_mailbox(s, "inbox", "");
    unlink(tmp);
    int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return 1;
    bool ok = write_all(fd, bytes, len) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp, copy) < 0) {
        unlink(tmp);
        return 1;
    }
    struct stat st;
    return stat(copy, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 1 ? 0 : 1;
}

int remove_step(void *arg)
{
    const step &s = *static_cast<step *>(arg);
    char *copy = in_mailbox(s, "inbox", "");
    unlink(copy);
    unlink(in_mailbox(s, "state", ".term"));
    unlink(in_mailbox(s, "state", ".gui"));
    return path_exists(copy) ? 1 : 0;
}

int clear_step(void *arg)
{
    const step &s = *static_cast<step *>(arg);
    char *term = in_mailbox(s, "state", ".term");
    char *gui = in_mailbox(s, "state", ".gui");
    unlink(term);
    unlink(gui);
    return path_exists(term) || path_exists(gui) ? 1 : 0;
}

int purge_step(void *arg)
{
    const step &s = *static_cast<step *>(arg);
    unlink(in_mailbox(s, "inbox", ""));
    unlink(in_mailbox(s, "read", ""));
    unlink(in_mailbox(s, "acks", ""));
    unlink(in_mailbox(s, "state", ".term"));
    unlink(in_mailbox(s, "state", ".gui"));
    return 0;
}

// The names in a mailbox directory, sorted, for lookups by name: a user has
// records for few of the messages asked about, so listing a directory once
// costs far less than probing a path for every message.
void list_names(const char *dir, strlist &out)
{
    if (DIR *d = opendir(dir)) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                strlist_push_copy(out, e->d_name);
        closedir(d);
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
    if (chdir(s.mailbox) < 0)
        return 1;
    textbuf input;
    read_fd(0, records_output_limit, input);
    strlist acks, state;
    list_names("acks", acks);
    list_names("state", state);
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

        char path[64];
        snprintf(path, sizeof path, "acks/%s", number);
        int fd = listed(acks, number) ? open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
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
            snprintf(path, sizeof path, "state/%s", marker);
            struct stat st;
            if (listed(state, marker) && stat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_mtime > latest)
                latest = st.st_mtime;
        }
        if (latest != 0)
            printf("S %s %lld\n", number, static_cast<long long>(latest));
    }
    return 0;
}

int run_step(const user_info &u, int (*fn)(void *), const textbuf *input, textbuf *output, size_t limit)
{
    char *mailbox = mailbox_path(u.name);
    step s = {mailbox, 0};
    int rc = run_as_user(u, fn, &s, input, output, limit, mailbox_time_limit);
    free(mailbox);
    return rc;
}

int run_step_for(const user_info &u, int64_t n, int (*fn)(void *))
{
    char *mailbox = mailbox_path(u.name);
    step s = {mailbox, static_cast<long long>(n)};
    int rc = run_as_user(u, fn, &s, nullptr, nullptr, 0, mailbox_time_limit);
    free(mailbox);
    return rc;
}

bool mailbox_is_directory(const user_info &u)
{
    char *mailbox = mailbox_path(u.name);
    bool dir = is_directory(mailbox);
    free(mailbox);
    return dir;
}

} // namespace

bool deliver_copy(const user_info &u, int64_t n, const textbuf &bytes)
{
    char *mailbox = mailbox_path(u.name);
    struct stat st;
    bool ok = lstat(mailbox, &st) == 0;
    if (!ok && errno == ENOENT) {
        // Only this directory is ever made by root; D/users belongs to root,
        // so the user cannot put anything at this name.
        ok = (mkdir(mailbox, 0700) == 0 || errno == EEXIST) && lstat(mailbox, &st) == 0;
    }
    ok = ok && S_ISDIR(st.st_mode);
    if (ok && geteuid() == 0 && !test_mode && st.st_uid == 0)
        ok = lchown(mailbox, u.uid, u.gid) == 0;
    if (ok) {
        textbuf input;
        textbuf_printf(input, "%zu\n", bytes.len);
        textbuf_append(input, textbuf_str(bytes), bytes.len);
        step s = {mailbox, static_cast<long long>(n)};
        ok = run_as_user(u, write_step, &s, &input, nullptr, 0, mailbox_time_limit) == 0;
    }
    free(mailbox);
    return ok;
}

bool remove_copy(const user_info &u, int64_t n)
{
    if (!mailbox_is_directory(u))
        return true;
    return run_step_for(u, n, remove_step) == 0;
}

bool clear_postponements(const user_info &u, int64_t n)
{
    if (!mailbox_is_directory(u))
        return false;
    return run_step_for(u, n, clear_step) == 0;
}

void purge_copies(const user_info &u, int64_t n)
{
    if (mailbox_is_directory(u))
        run_step_for(u, n, purge_step);
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
    if (input.len == 0 || !mailbox_is_directory(u))
        return;
    textbuf output;
    if (run_step(u, read_step, &input, &output, records_output_limit) != -1)
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

bool finish_revocation(int64_t n)
{
    strlist recipients;
    read_recipients(n, recipients);
    int failures = 0;
    for (size_t i = 0; i < recipients.count; i++) {
        user_info u;
        if (user_lookup(recipients.items[i], u) && !remove_copy(u, n))
            failures++;
    }
    if (failures)
        return false;
    remove_marker(n, "revoking");
    return true;
}

void finish_deletion(const char *path, int64_t n)
{
    char *list = xasprintf("%s/recipients", path);
    strlist recipients;
    read_recipients_file(list, recipients);
    free(list);
    for (size_t i = 0; i < recipients.count; i++) {
        user_info u;
        if (user_lookup(recipients.items[i], u))
            purge_copies(u, n);
    }
    DIR *d = opendir(path);
    if (!d) {
        rmdir(path);
        return;
    }
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            unlinkat(dirfd(d), e->d_name, 0);
    closedir(d);
    rmdir(path);
}
