// Mailboxes. kelv and any number of the user's kelvora-user processes work in
// a mailbox at once, without locks: a copy appears by one rename of a complete
// file, a confirmation by one hard link, markers are empty files, and every
// removal tolerates a file that is already gone. A repeated delivery never
// undoes a confirmation, because the write step refuses to write once the
// message is handled.
#include "core.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <deque>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

const int mailbox_time_limit = 20;
// A read for a screen that shows the last known records meanwhile: a mailbox
// that needs more than this does not answer, as far as the screen is
// concerned.
const int background_time_limit = 5;
const size_t records_output_limit = 4194304;
// Mailboxes read at once: one per core, but never so many that their pipes
// could run the descriptors out on a very large machine.
const size_t most_reads_at_once = 32;

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

// The names in a directory of the mailbox, for lookups by name: a user has
// records for few of the messages asked about, so listing a directory once
// costs far less than probing a path for every message.
std::unordered_set<std::string> list_names(int dir)
{
    std::unordered_set<std::string> names;
    int fd = dir >= 0 ? dup(dir) : -1;
    if (DIR *d = fd >= 0 ? fdopendir(fd) : nullptr) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.emplace(e->d_name);
        closedir(d);
    } else if (fd >= 0) {
        close(fd);
    }
    return names;
}

void append_field(textbuf &out, const char *kind, const char *number, const char *rest, size_t len)
{
    textbuf_append_str(out, kind);
    textbuf_append_str(out, number);
    textbuf_append_char(out, ' ');
    textbuf_append(out, rest, len);
    textbuf_append_char(out, '\n');
}

// Prints "A N first-line" for a confirmation record and "S N time" for the
// latest postponement of every number on standard input.
int read_step(void *arg)
{
    const step &s = *static_cast<step *>(arg);
    unique_fd box(open_box(s));
    if (!box.valid())
        return 1;
    textbuf input, out;
    read_fd(0, records_output_limit, input);
    unique_fd acks_dir(open_dir(box.get(), "acks", O_RDONLY)), state_dir(open_dir(box.get(), "state", O_RDONLY));
    std::unordered_set<std::string> acks = list_names(acks_dir.get()), state = list_names(state_dir.get());
    std::string name;
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
        name.assign(line, len);
        const char *number = name.c_str();

        int fd = acks.count(name) ? open_beneath(acks_dir.get(), number, O_RDONLY | O_NONBLOCK) : -1;
        if (fd >= 0) {
            struct stat st;
            char buf[200];
            ssize_t got;
            if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (got = read(fd, buf, sizeof buf)) >= 0) {
                const char *end = static_cast<const char *>(memchr(buf, '\n', static_cast<size_t>(got)));
                append_field(out, "A ", number, buf, end ? static_cast<size_t>(end - buf) : static_cast<size_t>(got));
            }
            close(fd);
        }
        int64_t latest = 0;
        for (const char *suffix : {".term", ".gui"}) {
            name.resize(len);
            name += suffix;
            struct stat st;
            int m = state.count(name) ? open_beneath(state_dir.get(), name.c_str(), O_PATH) : -1;
            if (m >= 0 && fstat(m, &st) == 0 && S_ISREG(st.st_mode) && st.st_mtime > latest)
                latest = st.st_mtime;
            if (m >= 0)
                close(m);
        }
        if (latest != 0) {
            char time[24];
            int tl = snprintf(time, sizeof time, "%lld", static_cast<long long>(latest));
            name.resize(len);
            append_field(out, "S ", name.c_str(), time, static_cast<size_t>(tl));
        }
    }
    fwrite(textbuf_str(out), 1, out.len, stdout);
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

namespace {

// One mailbox to read: its user, the table its records go to, and whether
// the table holds the mailbox's answer (false when the child failed: the
// table is then empty, and possibly wrong).
struct records_read {
    const user_info *user = nullptr;
    record_table *table = nullptr;
    bool answered = false;
};

// Reads the records of numbers from the mailbox of every read, several at
// once: a child each, up to one per core. A user without a usable mailbox
// gets an empty table, and no child.
void read_records(records_read *reads, size_t count, const strlist &numbers)
{
    textbuf input;
    for (size_t i = 0; i < numbers.count; i++)
        textbuf_printf(input, "%s\n", numbers.items[i]);
    char *users = users_path();
    std::vector<step> steps(count);
    std::vector<textbuf> outputs(count);
    std::vector<user_run> runs;
    std::vector<size_t> asked;
    for (size_t i = 0; i < count; i++) {
        record_table_free(*reads[i].table);
        reads[i].answered = true;
        if (input.len == 0 || !mailbox_usable(*reads[i].user))
            continue;
        steps[i] = {users, reads[i].user->name, 0};
        user_run r;
        r.user = reads[i].user;
        r.fn = read_step;
        r.arg = &steps[i];
        r.input = &input;
        r.output = &outputs[i];
        r.output_limit = records_output_limit;
        r.time_limit = mailbox_time_limit;
        runs.push_back(r);
        asked.push_back(i);
    }
    run_as_users(runs.data(), runs.size(), std::min(usable_cores(), most_reads_at_once));
    for (size_t k = 0; k < runs.size(); k++) {
        records_read &r = reads[asked[k]];
        r.answered = runs[k].result != -1;
        if (r.answered)
            parse_records(textbuf_str(outputs[asked[k]]), outputs[asked[k]].len, *r.table);
    }
    free(users);
}

} // namespace

void collect_records(const user_info &u, const strlist &numbers, record_table &table)
{
    records_read r = {&u, &table, false};
    read_records(&r, 1, numbers);
}

namespace {

// The records of each user read so far, and the message numbers they were
// read for.
//
// Once the interface has asked to keep them (refresh_records), a table stays
// until its mailbox may have changed. Root never lists or reads a mailbox
// for that: it watches three directories of each mailbox it has read, the
// mailbox itself and its acks and state directories (inotify, set up on the
// directories opened beneath D/users without following a link or entering a
// mount, before the child reads). Every way in which kelvora-user, or a user
// by hand, changes a record goes through them: an entry made, removed or
// renamed, a record written, a marker touched. Besides, a table is read
// again whenever a message number has appeared since (a record may wait for
// a message that did not exist yet), the mount table has changed (a mount
// hides what is below it, and makes no event), the account has changed, a
// watch is missing or was lost, the events overflowed, or its last read
// failed. A user who changes a record without any event (through a hard
// link made elsewhere, or a shared mapping) can only keep the interface
// showing that user's own record as it was before: never another user's,
// never one of root's files, never a confirmation that was not there.
//
// What a user can make happen at will costs only that user's reads: a new
// message makes only its recipients' tables stale, a change of the mount
// table only the tables of the mailboxes at or below a mount that changed.
// What makes every table stale (a mount above all the mailboxes, lost
// events) reads them all again at most once in all_reads_apart_ms.
//
// In the background (the interface), nothing waits for a mailbox: a table
// is only asked for, the last known one serves meanwhile, and
// records_advance takes the answers in as they come. A read that fails or
// overruns its time leaves the last known table, marked late, and that
// mailbox is read again only after a pause that doubles with every failure
// in a row, whatever events it makes.
struct cached_records {
    std::string name;
    record_table table;
    bool account = false; // the name was an account at the last read
    uint32_t uid = 0;
    uint32_t gid = 0;
    int watches[3] = {-1, -1, -1}; // the mailbox, acks, state
    bool stale = false;
    uint64_t changed_at = 0; // the generation at which the table last changed
    // Reading in the background: a read is under way; the mailbox has
    // answered at least once; its last read failed or overran its time, so
    // that the table is the last known one; how many reads in a row failed,
    // and when (monotonic_ms) the next may start.
    bool reading = false;
    bool answered = false;
    bool late = false;
    int failures = 0;
    int64_t retry_at = 0;
    explicit cached_records(const char *n) : name(n) {}
};

// A read of one mailbox under way in the background: the entry it is for,
// and everything its run refers to until it ends.
struct background_read {
    size_t at = 0;
    user_info user;
    char *users = nullptr; // D/users
    step s = {};
    textbuf input;
    textbuf output;
    user_run run;

    background_read() = default;
    background_read(const background_read &) = delete;
    background_read &operator=(const background_read &) = delete;
    ~background_read() { free(users); }
};

struct records_cache {
    // A deque keeps the tables in place as users are added.
    std::deque<cached_records> users;
    std::unordered_map<std::string, size_t> index; // name → position in users
    strlist numbers;
    bool numbers_loaded = false;
    bool keeping = false;                     // refresh_records was called
    unique_fd changes;                        // the inotify instance
    unique_fd mounts;                         // /proc/self/mountinfo: polls on every mount change
    std::unordered_map<int, size_t> watched; // watch → position in users
    // Moves on whenever a table changes its content, or all of them are
    // forgotten; never goes back, not even when the cache is emptied.
    uint64_t generation = 0;
    uint64_t forgotten_at = 0;

    // Reading in the background (records_background).
    bool background = false;
    user_run_queue queue;
    std::vector<std::unique_ptr<background_read>> reads;

    // The mount table as last seen (its lines, sorted) and where the
    // mailboxes are in it; when every table was last read again at once, and
    // whether that is owed.
    std::vector<std::string> mount_lines;
    std::string mailboxes; // D/users, resolved
    strlist unsettled;     // new numbers whose recipients were not there yet
    int64_t all_read_at = INT64_MIN / 2;
    bool all_owed = false;
};

records_cache cache;

const uint32_t mailbox_events =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
const uint32_t record_events = mailbox_events | IN_MODIFY;

void load_numbers()
{
    if (!cache.numbers_loaded) {
        list_sent_numbers(cache.numbers);
        cache.numbers_loaded = true;
    }
}

void unwatch(cached_records &e)
{
    for (int &w : e.watches) {
        if (w >= 0 && cache.watched.erase(w) > 0)
            inotify_rm_watch(cache.changes.get(), w);
        w = -1;
    }
}

bool watched(const cached_records &e) { return e.watches[0] >= 0 && e.watches[1] >= 0 && e.watches[2] >= 0; }

// Watches the mailbox of u (entry at) and its acks and state directories,
// each as far as it is there. The inode is watched through the descriptor
// already opened beneath D/users: nothing is looked up by path again.
void watch_mailbox(size_t at, const user_info &u)
{
    cached_records &e = cache.users[at];
    unwatch(e);
    unique_fd box(cache.changes.valid() ? open_mailbox(u, false) : -1);
    if (!box.valid())
        return;
    unique_fd acks(open_dir(box.get(), "acks")), state(open_dir(box.get(), "state"));
    const int fds[3] = {box.get(), acks.get(), state.get()};
    for (int i = 0; i < 3; i++) {
        char path[40];
        snprintf(path, sizeof path, "/proc/self/fd/%d", fds[i]);
        int w = fds[i] >= 0 ? inotify_add_watch(cache.changes.get(), path, i == 0 ? mailbox_events : record_events)
                            : -1;
        if (w >= 0 && cache.watched.emplace(w, at).second)
            e.watches[i] = w;
    }
}

bool same_tables(const record_table &a, const record_table &b)
{
    if (a.count != b.count)
        return false;
    for (size_t i = 0; i < a.count; i++) {
        const mailbox_record &x = a.items[i], &y = b.items[i];
        if (x.number != y.number || x.postponed != y.postponed || !x.confirmation != !y.confirmation ||
            (x.confirmation && strcmp(x.confirmation, y.confirmation) != 0))
            return false;
    }
    return true;
}

// Makes t the table of e (t gets the old one); the generation moves on only
// when the content changed.
void take_table(cached_records &e, record_table &t)
{
    if (e.changed_at == 0 || !same_tables(e.table, t)) {
        std::swap(e.table.items, t.items);
        std::swap(e.table.count, t.count);
        std::swap(e.table.cap, t.cap);
        e.changed_at = ++cache.generation;
    }
}

// The input of a read step: the message numbers, one a line.
void numbers_input(textbuf &input)
{
    for (size_t i = 0; i < cache.numbers.count; i++)
        textbuf_printf(input, "%s\n", cache.numbers.items[i]);
}

// (Re)reads the tables of the entries at the given positions, several at
// once; while the cache is kept, each mailbox is watched before it is read.
void read_entries(const std::vector<size_t> &which)
{
    std::vector<user_info> accounts(which.size());
    std::vector<record_table> tables(which.size());
    std::vector<records_read> reads;
    std::vector<size_t> read_at;
    for (size_t k = 0; k < which.size(); k++) {
        cached_records &e = cache.users[which[k]];
        e.stale = false;
        e.account = user_lookup(e.name.c_str(), accounts[k]);
        e.uid = accounts[k].uid;
        e.gid = accounts[k].gid;
        if (!e.account) {
            unwatch(e);
            continue;
        }
        if (cache.keeping)
            watch_mailbox(which[k], accounts[k]);
        reads.push_back({&accounts[k], &tables[k], false});
        read_at.push_back(which[k]);
    }
    read_records(reads.data(), reads.size(), cache.numbers);
    for (size_t k = 0; k < which.size(); k++) {
        cached_records &e = cache.users[which[k]];
        take_table(e, tables[k]);
        e.answered = true;
    }
    for (size_t k = 0; k < reads.size(); k++)
        if (!reads[k].answered)
            unwatch(cache.users[read_at[k]]); // asked again at the next refresh
}

// Asks for the tables of the entries at the given positions in the
// background: a read is started for each that is not being read already and
// whose pause after failures is over; the others stay stale until then.
void ask_entries(const std::vector<size_t> &which)
{
    int64_t now_ms = monotonic_ms();
    for (size_t at : which) {
        cached_records &e = cache.users[at];
        if (e.reading || e.retry_at > now_ms) {
            e.stale = true;
            continue;
        }
        e.stale = false;
        auto r = std::make_unique<background_read>();
        e.account = user_lookup(e.name.c_str(), r->user);
        e.uid = r->user.uid;
        e.gid = r->user.gid;
        if (e.account && cache.keeping)
            watch_mailbox(at, r->user);
        else if (!e.account)
            unwatch(e);
        // Nobody to ask: the answer is known at once.
        if (!e.account || cache.numbers.count == 0 || !mailbox_usable(r->user)) {
            record_table none;
            take_table(e, none);
            e.answered = true;
            e.late = false;
            continue;
        }
        r->at = at;
        r->users = users_path();
        r->s = {r->users, r->user.name, 0};
        numbers_input(r->input);
        r->run.user = &r->user;
        r->run.fn = read_step;
        r->run.arg = &r->s;
        r->run.input = &r->input;
        r->run.output = &r->output;
        r->run.output_limit = records_output_limit;
        r->run.time_limit = background_time_limit;
        e.reading = true;
        cache.reads.push_back(std::move(r));
        user_run_queue_add(cache.queue, cache.reads.back()->run);
    }
}

// How long a mailbox rests after failures in a row: 3 s, doubled for each
// further failure, at most two minutes.
int64_t pause_after(int failures)
{
    int64_t ms = 3000;
    for (int i = 1; i < failures && ms < 120000; i++)
        ms *= 2;
    return std::min<int64_t>(ms, 120000);
}

// Takes in the reads that have ended.
void take_answers()
{
    int64_t now_ms = monotonic_ms();
    for (auto &r : cache.reads) {
        if (!r->run.ended)
            continue;
        cached_records &e = cache.users[r->at];
        e.reading = false;
        if (r->run.result != -1) {
            record_table t;
            parse_records(textbuf_str(r->output), r->output.len, t);
            take_table(e, t);
            e.answered = true;
            e.late = false;
            e.failures = 0;
            e.retry_at = 0;
        } else {
            // The last known table stays; this mailbox is asked again only
            // after its pause, however often it changes meanwhile.
            e.late = true;
            e.failures++;
            e.retry_at = now_ms + pause_after(e.failures);
            unwatch(e);
            e.stale = true;
        }
    }
    std::erase_if(cache.reads, [](const auto &r) { return r->run.ended; });
}

// Reads every mailbox entry of which (a position in users) needs, at once or
// in the background.
void bring_up_to_date(const std::vector<size_t> &which)
{
    if (cache.background)
        ask_entries(which);
    else
        read_entries(which);
}

size_t add_entry(const char *name)
{
    size_t at = cache.users.size();
    cache.users.emplace_back(name);
    cache.index.emplace(name, at);
    return at;
}

const int64_t all_reads_apart_ms = 30000;

// Every table is to be read again, at once or, when that was done less than
// all_reads_apart_ms ago, at the first refresh after it.
void mark_all_stale()
{
    cache.all_owed = true;
}

void settle_owed_reads()
{
    int64_t now_ms = monotonic_ms();
    if (!cache.all_owed || now_ms - cache.all_read_at < all_reads_apart_ms)
        return;
    cache.all_owed = false;
    cache.all_read_at = now_ms;
    for (cached_records &e : cache.users)
        e.stale = true;
}

// Marks stale every table whose mailbox has reported a change since the last
// look; all of them when events were lost. Bounded however fast a user makes
// events: after so many reads, everything counts as changed.
void take_changes()
{
    alignas(struct inotify_event) char buf[65536];
    for (int reads = 0; reads < 64; reads++) {
        ssize_t r = read(cache.changes.get(), buf, sizeof buf);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            if (r < 0 && errno != EAGAIN)
                mark_all_stale();
            return;
        }
        for (ssize_t off = 0; off < r;) {
            const auto *ev = reinterpret_cast<const struct inotify_event *>(buf + off);
            off += static_cast<ssize_t>(sizeof *ev + ev->len);
            if (ev->mask & IN_Q_OVERFLOW) {
                mark_all_stale();
                continue;
            }
            auto it = cache.watched.find(ev->wd);
            if (it == cache.watched.end())
                continue;
            cached_records &e = cache.users[it->second];
            e.stale = true;
            if (ev->mask & IN_IGNORED) { // the directory is gone, and its watch with it
                for (int &w : e.watches)
                    if (w == ev->wd)
                        w = -1;
                cache.watched.erase(it);
            }
        }
    }
    mark_all_stale();
}

// The lines of the mount table, sorted; false when it cannot be read.
bool read_mount_lines(std::vector<std::string> &lines)
{
    textbuf b;
    if (!cache.mounts.valid() || lseek(cache.mounts.get(), 0, SEEK_SET) < 0 ||
        read_fd(cache.mounts.get(), 16777216, b) < 0)
        return false;
    lines.clear();
    const char *p = textbuf_str(b);
    while (*p) {
        const char *nl = strchr(p, '\n');
        size_t len = nl ? static_cast<size_t>(nl - p) : strlen(p);
        lines.emplace_back(p, len);
        p += len + (nl ? 1 : 0);
    }
    std::sort(lines.begin(), lines.end());
    return true;
}

// The mount point of a line of the mount table (its fifth field), with the
// kernel's octal escapes undone.
std::string mount_point(const std::string &line)
{
    size_t at = 0;
    for (int field = 0; field < 4 && at != std::string::npos; field++) {
        at = line.find(' ', at);
        if (at != std::string::npos)
            at++;
    }
    if (at == std::string::npos)
        return "";
    std::string raw = line.substr(at, line.find(' ', at) - at), point;
    for (size_t i = 0; i < raw.size(); i++) {
        bool octal = raw[i] == '\\' && i + 3 < raw.size();
        for (size_t k = 1; octal && k <= 3; k++)
            octal = raw[i + k] >= '0' && raw[i + k] <= '7';
        if (octal) {
            point += static_cast<char>((raw[i + 1] - '0') * 64 + (raw[i + 2] - '0') * 8 + (raw[i + 3] - '0'));
            i += 3;
        } else {
            point += raw[i];
        }
    }
    return point;
}

bool at_or_below(const std::string &path, const std::string &dir)
{
    return path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
                           (dir.back() == '/' || path[dir.size()] == '/'));
}

// After a change of the mount table: the tables of the mailboxes at or below
// a mount point that came, went or changed are stale; a change above all the
// mailboxes makes every table stale.
void take_mount_changes()
{
    std::vector<std::string> now_lines, changed;
    if (!read_mount_lines(now_lines) || cache.mailboxes.empty()) {
        mark_all_stale();
        return;
    }
    std::set_symmetric_difference(now_lines.begin(), now_lines.end(), cache.mount_lines.begin(),
                                  cache.mount_lines.end(), std::back_inserter(changed));
    cache.mount_lines.swap(now_lines);
    for (const std::string &line : changed) {
        std::string point = mount_point(line);
        if (point.empty() || at_or_below(cache.mailboxes, point)) {
            mark_all_stale();
            continue;
        }
        if (!at_or_below(point, cache.mailboxes))
            continue;
        // D/users/NAME or below: NAME's mailbox.
        std::string rest = point.substr(cache.mailboxes.size() + 1);
        auto it = cache.index.find(rest.substr(0, rest.find('/')));
        if (it != cache.index.end())
            cache.users[it->second].stale = true;
    }
}

// True when the mount table may have changed since the last look.
bool mounts_changed()
{
    struct pollfd p = {cache.mounts.get(), POLLPRI, 0};
    return !cache.mounts.valid() || poll(&p, 1, 0) != 0;
}

// The numbers of now that were not among before (both in numeric order).
void new_numbers(const strlist &now_numbers, const strlist &before, strlist &fresh)
{
    size_t j = 0;
    for (size_t i = 0; i < now_numbers.count; i++) {
        while (j < before.count && compare_numeric_names(&before.items[j], &now_numbers.items[i]) < 0)
            j++;
        if (j == before.count || strcmp(before.items[j], now_numbers.items[i]) != 0)
            strlist_push_copy(fresh, now_numbers.items[i]);
    }
}

// Starts keeping the tables: the events of the mailboxes and the mount
// table are watched from now on.
void start_keeping()
{
    forget_records();
    cache.keeping = true;
    cache.changes.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    cache.mounts.reset(open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
    char *users = users_path();
    char *resolved = realpath(users, nullptr);
    cache.mailboxes = resolved ? resolved : "";
    free(resolved);
    free(users);
    read_mount_lines(cache.mount_lines);
    mounts_changed(); // what the table is now is known: only a later change counts
    cache.all_read_at = monotonic_ms();
    cache.all_owed = false;
}

} // namespace

const record_table &records_for_user(const char *name)
{
    auto it = cache.index.find(name);
    if (it != cache.index.end())
        return cache.users[it->second].table;
    load_numbers();
    size_t at = add_entry(name);
    bring_up_to_date({at});
    return cache.users[at].table;
}

void load_records(const strlist &names)
{
    load_numbers();
    std::vector<size_t> which;
    for (size_t i = 0; i < names.count; i++)
        if (cache.index.find(names.items[i]) == cache.index.end())
            which.push_back(add_entry(names.items[i]));
    bring_up_to_date(which);
}

void refresh_records()
{
    if (!cache.keeping) {
        start_keeping();
        return;
    }
    strlist numbers, fresh;
    list_sent_numbers(numbers);
    new_numbers(numbers, cache.numbers, fresh);
    strlist_swap(cache.numbers, numbers);
    cache.numbers_loaded = true;

    // A record may wait for a message that did not exist yet: the tables of
    // a new message's recipients are read again, for it. A message whose
    // recipients are not written yet (a send just begun) is looked at again
    // at every refresh until they are, or it is gone.
    for (size_t i = 0; i < cache.unsettled.count; i++)
        if (strlist_contains(cache.numbers, cache.unsettled.items[i]))
            strlist_push_copy(fresh, cache.unsettled.items[i]);
    strlist_free(cache.unsettled);
    for (size_t i = 0; i < fresh.count; i++) {
        int64_t n;
        strlist recipients;
        if (!parse_number(fresh.items[i], n))
            continue;
        read_recipients(n, recipients);
        if (recipients.count == 0)
            strlist_push_copy(cache.unsettled, fresh.items[i]);
        for (size_t k = 0; k < recipients.count; k++) {
            auto it = cache.index.find(recipients.items[k]);
            if (it != cache.index.end())
                cache.users[it->second].stale = true;
        }
    }
    if (cache.changes.valid())
        take_changes();
    if (mounts_changed())
        take_mount_changes();
    settle_owed_reads();
    std::vector<size_t> which;
    for (size_t i = 0; i < cache.users.size(); i++) {
        cached_records &e = cache.users[i];
        user_info u;
        bool account = user_lookup(e.name.c_str(), u);
        if (account != e.account || u.uid != e.uid || u.gid != e.gid || (account && !watched(e) && !e.reading))
            e.stale = true;
        if (e.stale)
            which.push_back(i);
    }
    bring_up_to_date(which);
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

uint64_t records_generation() { return cache.generation; }

bool records_changed_since(uint64_t generation, strlist &names)
{
    if (cache.forgotten_at > generation)
        return false;
    for (const cached_records &e : cache.users)
        if (e.changed_at > generation)
            strlist_push_copy(names, e.name.c_str());
    return true;
}

void forget_records()
{
    user_run_queue_clear(cache.queue);
    cache.reads.clear();
    cache.users.clear();
    cache.index.clear();
    cache.watched.clear();
    strlist_free(cache.numbers);
    cache.numbers_loaded = false;
    cache.keeping = false;
    cache.forgotten_at = ++cache.generation;
    // Closed, never unwatched one by one: a forked child that forgets must
    // leave its parent's watches alone.
    cache.changes.reset();
    cache.mounts.reset();
    cache.mount_lines.clear();
    strlist_free(cache.unsettled);
}

void records_background(bool on)
{
    if (!on)
        forget_records();
    cache.background = on;
    cache.queue.parallel = usable_cores();
    cache.queue.most = most_reads_at_once;
    cache.queue.wait_for_killed = false;
}

int records_fds(std::vector<struct pollfd> &fds)
{
    return cache.background ? user_run_queue_fds(cache.queue, fds) : -1;
}

bool records_advance()
{
    if (!cache.background)
        return false;
    uint64_t before = cache.generation;
    // Drained often, so that a user who makes events fast cannot make the
    // queue overflow between two reloads (which reads everyone again).
    if (cache.changes.valid())
        take_changes();
    if (user_run_queue_advance(cache.queue) > 0)
        take_answers();
    return cache.generation != before;
}

void records_cancel_reads()
{
    user_run_queue_clear(cache.queue);
    for (auto &r : cache.reads) {
        cached_records &e = cache.users[r->at];
        e.reading = false;
        e.stale = true;
    }
    cache.reads.clear();
}

void records_detach()
{
    user_run_queue_release(cache.queue);
    cache.reads.clear();
    cache.background = false;
    // The descriptors are the parent's, and already closed here.
    (void)cache.changes.release();
    (void)cache.mounts.release();
    forget_records();
}

records_freshness records_state(const char *name)
{
    auto it = cache.index.find(name);
    if (it == cache.index.end())
        return records_freshness::pending;
    const cached_records &e = cache.users[it->second];
    return e.late ? records_freshness::late : e.answered ? records_freshness::current : records_freshness::pending;
}

void records_not_current(strlist &late, size_t &pending)
{
    pending = 0;
    for (const cached_records &e : cache.users) {
        if (e.late)
            strlist_push_copy(late, e.name.c_str());
        else if (!e.answered)
            pending++;
    }
    strlist_sort(late);
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
