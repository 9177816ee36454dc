// The common library of kelv and kelvora-user.
//
// Conventions that hold for everything declared here:
//  - Records are plain structs whose all-zero state is the empty value; their
//    destructor calls the matching *_free, which is idempotent.
//  - Operations return 0/true on success and -1/false with errno set; nothing
//    here prints, except die() and warnf(), which only commands call.
//  - Allocation never fails towards the caller: it ends the process with
//    "out of memory".
//  - Every descriptor is opened close-on-exec.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <vector>

#define KELV_PRINTF(f, a) __attribute__((format(printf, f, a)))

// ---------------------------------------------------------------------------
// Errors and memory

// Flushes standard output and exits with status 1, writing "NAME: message\n"
// to standard error after every other exit handler has run (the one that
// gives the terminal back included).
[[noreturn]] void die(const char *fmt, ...) KELV_PRINTF(1, 2);
// The same line, without ending the process.
void warnf(const char *fmt, ...) KELV_PRINTF(1, 2);

void *xmalloc(size_t n);
void *xrealloc(void *p, size_t n);
char *xstrdup(const char *s);
char *xstrndup(const char *s, size_t n);
char *xasprintf(const char *fmt, ...) KELV_PRINTF(1, 2);

// ---------------------------------------------------------------------------
// Text buffers: a growable byte string. data is NULL until the first append
// and NUL-terminated after it; capacity grows 64, 128, 256, ...

struct textbuf {
    char *data = nullptr;
    size_t len = 0;
    size_t cap = 0;

    textbuf() = default;
    textbuf(const textbuf &) = delete;
    textbuf &operator=(const textbuf &) = delete;
    ~textbuf();
};

void textbuf_reserve(textbuf &b, size_t n);
void textbuf_append(textbuf &b, const void *bytes, size_t n);
void textbuf_append_str(textbuf &b, const char *s);
void textbuf_append_char(textbuf &b, char c);
void textbuf_vprintf(textbuf &b, const char *fmt, va_list ap) KELV_PRINTF(2, 0);
void textbuf_printf(textbuf &b, const char *fmt, ...) KELV_PRINTF(2, 3);
// Appends piece times times (nothing when times is 0 or less): rules and
// padding of frames.
void textbuf_append_repeated(textbuf &b, const char *piece, int times);
// Appends text as one field of a row that other people's words must not
// break: every run of blanks and tabs becomes one blank, and the text is cut
// at columns display columns, with "…" where it was cut.
void textbuf_append_field(textbuf &b, const char *text, size_t columns);
// Appends text as a cell exactly columns wide: cut after its last whole
// character that fits (a wide character that would be split leaves a blank
// instead), then padded with blanks. Tabs show as blanks, other control
// characters not at all; style sequences are kept and take no room, and
// reset (when not NULL) follows the text, so that no style runs on past the
// cell.
void textbuf_append_cell(textbuf &b, const char *text, int columns, const char *reset = nullptr);
// Appends text and then blanks up to columns, as "%-*s" would if it counted
// display columns; a wider text is not cut.
void textbuf_append_padded(textbuf &b, const char *text, int columns);
void textbuf_clear(textbuf &b);
void textbuf_free(textbuf &b);
// The stored text, or "" for a buffer that was never written.
inline const char *textbuf_str(const textbuf &b) { return b.data ? b.data : ""; }

// ---------------------------------------------------------------------------
// Display width: the columns a terminal gives a text, from the C library's
// wide-character tables under a UTF-8 locale, whatever the caller's locale:
// CJK and most emoji take 2, combining marks and zero-width characters 0, a
// character the tables do not know 1. A tab takes 1 (every writer of a fitted
// cell shows it as a blank), other control characters 0 (they are never
// drawn), and a style sequence "\e[" … letter 0.

enum width_kind {
    width_printable, // a character, drawn as it is
    width_blank,     // a tab, drawn as one blank
    width_control,   // never drawn: a control character, an unterminated sequence
    width_style,     // a style sequence, written as it is
};
struct width_step {
    size_t len;  // bytes
    int columns;
    width_kind kind;
};
// The first character or sequence of text, which is not empty.
width_step width_next(const char *text);
int width_of(const char *text);
// The width of the first len bytes of text (no further than its end).
int width_of_bytes(const char *text, size_t len);
// The byte offset of the character after / before the one at byte offset at,
// where a character includes the combining marks that follow it; a cursor
// moved by these never stands inside one.
size_t width_char_after(const char *text, size_t at);
size_t width_char_before(const char *text, size_t at);
// The bytes of the whole characters at the start of text to leave out so
// that the rest, width columns wide, fits in room; width is what is left.
// A field whose end must show (its cursor, the last character typed) is
// shown from there.
size_t width_skip_front(const char *text, int &width, int room);
// The length of the well-formed UTF-8 sequence at p (n bytes available), or 0
// when none starts there.
size_t utf8_length(const unsigned char *p, size_t n);

// ---------------------------------------------------------------------------
// String lists: a growable array of owned strings (16, 32, 64 ... slots).

struct strlist {
    char **items = nullptr;
    size_t count = 0;
    size_t cap = 0;

    strlist() = default;
    strlist(const strlist &) = delete;
    strlist &operator=(const strlist &) = delete;
    ~strlist();
};

// Takes ownership of s.
void strlist_push(strlist &l, char *s);
void strlist_push_copy(strlist &l, const char *s);
// Takes ownership of s and puts it at index (at most count), moving the
// strings from there on one place up.
void strlist_insert(strlist &l, size_t index, char *s);
// Frees the string at index and closes the gap.
void strlist_remove(strlist &l, size_t index);
bool strlist_contains(const strlist &l, const char *s);
// The same by binary search in a list sorted by strlist_sort.
bool strlist_contains_sorted(const strlist &l, const char *s);
void strlist_sort(strlist &l);
// Exchanges the strings of a and b, without copying any.
void strlist_swap(strlist &a, strlist &b);
void strlist_free(strlist &l);

// qsort comparators over pointers to string pointers.
int compare_strings(const void *a, const void *b);
// Shorter first, then byte order: numeric order for message numbers.
int compare_numeric_names(const void *a, const void *b);

// ---------------------------------------------------------------------------
// Process settings, test mode and time

extern const char *program_name;
extern const char *var_dir;   // the message store, "/var/lib/kelvora"
extern const char *lib_dir;   // where kelvora-user is installed
extern const char *conf_path; // "/etc/kelvora/kelvora.conf"
extern bool test_mode;        // KELV_TEST set and not empty

// Names the program and reads the test-mode environment (KELV_TEST, and only
// then KELV_VAR, KELV_LIB, KELV_CONF).
void lib_init(const char *name);
int64_t now();
// Milliseconds on the monotonic clock, for deadlines.
int64_t monotonic_ms();
// Sets what sig does (a handler, SIG_DFL or SIG_IGN), the previous action in
// old when given. No SA_RESTART: a handled signal cuts a blocking wait short
// instead of waiting behind it.
void catch_signal(int sig, void (*fn)(int), struct sigaction *old = nullptr);
// "%d/%m %H:%M" in local time, or "?" when the time cannot be shown.
void format_time(int64_t t, char out[32]);

// ---------------------------------------------------------------------------
// Owned file descriptors

class unique_fd {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    [[nodiscard]] int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the held descriptor once (never retried: Linux releases it even
    // when close reports EINTR) and keeps errno as it was.
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

// A forked child. Whoever forgets to reap it leaves that to the destructor,
// which kills it and reaps it or, when it cannot die at once (asleep in a file
// system that does not answer), leaves it behind without waiting.
struct child_process {
    pid_t pid = -1;

    child_process() = default;
    child_process(const child_process &) = delete;
    child_process &operator=(const child_process &) = delete;
    ~child_process();
};
// Waits for the child, retrying interrupted waits; its wait status, or -1.
int child_wait(child_process &c);
// Waits for the child until deadline (monotonic_ms); true with its wait status
// once it has ended (or cannot be waited for: status -1), false when it still
// runs at the deadline.
bool child_wait_until(child_process &c, int64_t deadline, int &status);
// Kills the child and reaps it if it ends within a moment; otherwise it is
// left to be reaped later, and the caller goes on. The record is empty after.
void child_abandon(child_process &c);
// Kills the child and leaves it to be reaped later, without waiting at all.
void child_leave(child_process &c);
// Reaps the children left behind that have ended since.
void child_reap_left();

struct fd_pair {
    unique_fd read_end;
    unique_fd write_end;
};
// A close-on-exec pipe; -1 with errno on failure.
int make_pipe(fd_pair &p);

// ---------------------------------------------------------------------------
// Files and directories

#define MESSAGE_FILE_LIMIT 73728

// Reads fd to its end, keeping at most limit bytes in b (counting what b
// already held); 0 at end of file, -1 on a read error.
int read_fd(int fd, size_t limit, textbuf &b);
// Reads a whole regular file: -1 with EISDIR for a directory, EINVAL for
// anything else but a regular file, EFBIG when it is larger than limit, or
// the errno of open/read.
int read_file(const char *path, size_t limit, bool nofollow, textbuf &b);
int write_all(int fd, const void *bytes, size_t n);
// Replaces path by a complete new file through path.tmp and one rename.
int write_file_atomic(const char *path, const void *bytes, size_t n, mode_t mode);
int fsync_path(const char *path);
int syncfs_path(const char *path);
bool path_exists(const char *path);  // lstat: a dangling link exists
bool is_directory(const char *path); // lstat: a link to a directory is not one
bool is_all_digits(const char *s);
// 1 to 18 ASCII digits; out is left alone otherwise.
bool parse_number(const char *s, int64_t &out);
// Appends the names made of 1 to 18 digits, then sorts the list numerically.
int list_numbered(const char *dir, strlist &out);
// Opens path below the directory dir (open flags, O_CLOEXEC and O_NOCTTY
// added; mode for O_CREAT) without following any symbolic link, without
// leaving dir and without entering another file system: neither a link nor
// a mount planted by a user can take the caller elsewhere, and a file system
// that never answers is never asked. -1 with errno, ELOOP for a link and
// EXDEV for a mount point.
int open_beneath(int dir, const char *path, int flags, mode_t mode = 0);
// True when something (a file, a link, a mount point) is at name below dir.
bool exists_beneath(int dir, const char *name);

// ---------------------------------------------------------------------------
// Message file format

struct message {
    int64_t id = 0;
    char *from = nullptr;
    int64_t date = 0;
    char *title = nullptr;
    int64_t expires = 0; // 0: never
    char *text = nullptr;

    message() = default;
    message(const message &) = delete;
    message &operator=(const message &) = delete;
    ~message();
};

void message_format(const message &m, textbuf &out);
// 0, or -1 with EINVAL (record left empty) when no date line parses.
int message_parse(const char *bytes, size_t len, message &m);
int message_read(const char *path, message &m);
void message_free(message &m);
// Makes to a copy of from, with copies of its strings.
void message_copy(const message &from, message &to);
bool message_expired(const message &m, int64_t t);
// "TITLE · DATE", or the date alone for an untitled message.
void message_heading(const message &m, textbuf &out);
// Appends bytes with every terminal control sequence and control character
// removed, C1 controls in any form and the explicit bidirectional controls
// included; tab, newline, printable ASCII and other UTF-8 pass through.
void clean_text(const char *bytes, size_t len, textbuf &out);

// ---------------------------------------------------------------------------
// Configuration file (read by kelvora-user only)

struct config {
    int64_t remind_minutes = 0;
    int64_t agent_poll = 0;
};

// Defaults (30 minutes, 60 seconds) overridden by conf_path when readable.
void config_load(config &c);
// Sets the defaults, then applies text (NULL: defaults only).
void config_parse(const char *text, config &c);

// ---------------------------------------------------------------------------
// libsystemd, loaded on first use. The prompt helper runs before every shell
// prompt and usually needs neither the journal nor the login manager, so the
// library is not linked but opened when one of them is first asked for.

struct sd_journal;
struct systemd_api {
    int (*journal_send_with_location)(const char *file, const char *line, const char *func,
                                      const char *format, ...);
    int (*journal_open)(sd_journal **j, int flags);
    int (*journal_add_match)(sd_journal *j, const void *data, size_t size);
    int (*journal_seek_realtime_usec)(sd_journal *j, uint64_t usec);
    int (*journal_next)(sd_journal *j);
    int (*journal_previous)(sd_journal *j);
    int (*journal_seek_tail)(sd_journal *j);
    int (*journal_get_data)(sd_journal *j, const char *field, const void **data, size_t *length);
    int (*journal_get_realtime_usec)(sd_journal *j, uint64_t *usec);
    void (*journal_close)(sd_journal *j);
    int (*get_sessions)(char ***sessions);
    int (*session_get_uid)(const char *session, uid_t *uid);
    int (*session_get_class)(const char *session, char **clazz);
    int (*session_get_type)(const char *session, char **type);
    int (*session_get_tty)(const char *session, char **tty);
    int (*session_get_state)(const char *session, char **state);
};

// The loaded library, or NULL when it cannot be loaded.
const systemd_api *systemd();

// ---------------------------------------------------------------------------
// Event log: one journal entry per event, syslog when the journal refuses.

// Records the event; never fails towards the caller.
void event(const char *kind, int64_t id, const char *user, const char *channel, const char *details,
           const char *author);
// Appends the human sentence of the event; false (nothing appended) for an
// unknown kind.
bool event_describe(const char *kind, int64_t id, const char *user, const char *channel,
                    const char *details, const char *author, textbuf &out);
void channel_label(const char *channel, textbuf &out);

// ---------------------------------------------------------------------------
// Users, groups and running work as a user

struct user_info {
    char *name = nullptr;
    uint32_t uid = 0;
    uint32_t gid = 0;

    user_info() = default;
    user_info(const user_info &) = delete;
    user_info &operator=(const user_info &) = delete;
    ~user_info();
};

// True and u filled when the account exists; false otherwise, with errno 0
// when it simply does not exist and EINVAL when its name is not one path
// component (empty, ".", ".." or holding a "/").
bool user_lookup(const char *name, user_info &u);
bool user_lookup_uid(uid_t uid, user_info &u);
void user_info_free(user_info &u);
// The number after key in /etc/login.defs (the last such line), or def.
int64_t login_defs_value(const char *key, int64_t def);
// Appends the human accounts (UID_MIN..UID_MAX, a login shell) not yet in
// the list, then sorts it.
void list_human_users(strlist &out);
// Appends the group's listed members, then the accounts whose primary group
// it is, each once; false when there is no such group.
bool list_group_members(const char *group, strlist &out);

// Runs fn(arg) in a child that has irrevocably taken u's identity (when run
// as root outside test mode), with input (or nothing) on its standard input
// and at most output_limit bytes of its standard output collected. Returns
// the exit status (126 is reserved for a failed identity change), or -1 when
// the child could not be started or changed, was killed, or overran
// time_limit seconds. The child keeps no descriptor but its standard input,
// output and error (so fn cannot log: a library's cached socket is closed
// too), and dies with its caller; one that cannot die at the limit is left
// behind, so the limit bounds the call whatever the child does.
int run_as_user(const user_info &u, int (*fn)(void *), void *arg, const textbuf *input, textbuf *output,
                size_t output_limit, int time_limit);
// read_file with u's rights, in a run_as_user child: what the account could
// not open itself (a file it named that only root may read) is refused.
// Errors as read_file's; a child that fails or overruns gives EIO.
int read_file_as_user(const user_info &u, const char *path, size_t limit, bool nofollow, textbuf &out,
                      int time_limit);
// The groups initgroups would give u, looked up before a fork so that the
// child only makes system calls. Caller frees; NULL on failure.
gid_t *user_groups(const user_info &u, int &count);
// In a forked child: groups, then group ids, then user ids, then proof that
// the change is complete and root cannot be regained; false when anything is
// off. A target of uid 0 fails the proof.
bool become_user(const user_info &u, const gid_t *groups, int count);

// One run of run_as_users: run_as_user's arguments, and its result.
struct user_run {
    const user_info *user = nullptr;
    int (*fn)(void *) = nullptr;
    void *arg = nullptr;
    const textbuf *input = nullptr;
    textbuf *output = nullptr;
    size_t output_limit = 0;
    int time_limit = 0;
    int result = -1;    // what run_as_user would have returned
    bool ended = false; // result is set
};
// Does every run as run_as_user does it, with up to parallel children at
// once (64 at most), started in the order of the array; each child has all
// the bounds of run_as_user, its time limit counted from its own start.
void run_as_users(user_run *runs, size_t count, size_t parallel);

// Runs that go on while their caller does other work. A run added starts as
// soon as fewer than parallel runs are at work (a run older than a second no
// longer counts: a child stopped by its user or asleep in a file system that
// never answers holds nobody up), never more than most at once. Nothing here
// waits: the caller waits on user_run_queue_fds in its own poll, then lets
// the queue advance. A run's result is set, with ended, once its child has
// ended, was killed at its time limit or could not start; the run, its input
// and its output must stay in place until then, or until the queue is
// cleared.
struct user_run_slot;
struct user_run_queue {
    size_t parallel = 1;
    size_t most = 1;
    // Whether a child killed at its limit is waited for a moment (a command
    // that reaps what it can) or left at once (a screen that must answer).
    bool wait_for_killed = false;
    std::deque<user_run *> waiting;
    std::vector<std::unique_ptr<user_run_slot>> slots;

    user_run_queue();
    user_run_queue(const user_run_queue &) = delete;
    user_run_queue &operator=(const user_run_queue &) = delete;
    ~user_run_queue();
};
// Queues r and starts it if it may start now.
void user_run_queue_add(user_run_queue &q, user_run &r);
bool user_run_queue_empty(const user_run_queue &q);
// Appends the descriptors the runs wait on; returns the longest the caller
// may wait before the next advance, in milliseconds (-1: the queue is empty).
int user_run_queue_fds(const user_run_queue &q, std::vector<struct pollfd> &fds);
// Feeds, reads and reaps what is ready, kills what is overdue and starts
// what may start, without waiting; the number of runs that ended.
size_t user_run_queue_advance(user_run_queue &q);
// Ends every run: children killed and left to be reaped later, results -1.
void user_run_queue_clear(user_run_queue &q);
// In a forked child: forgets the parent's runs without touching the
// children or the descriptors, which are the parent's.
void user_run_queue_release(user_run_queue &q);
// The processors this process may run on, at least 1.
size_t usable_cores();

// ---------------------------------------------------------------------------
// Terminals and sessions

// Appends the human users with a session of class "user", each once, sorted.
void list_online_users(strlist &out);
// Appends the user's terminal devices: pseudo-terminals by owner, consoles of
// text sessions; sorted, each once. In test mode only KELV_TEST_TTY.
void list_user_terminals(uid_t uid, strlist &out);
// True when the user has an X11 or Wayland session that is not closing.
bool has_desktop_session(uid_t uid);
// Writes the bytes to the user's terminal without ever blocking for more than
// about three seconds; true only when every byte was written.
bool write_terminal(const char *path, uid_t uid, const void *bytes, size_t n);
// Writes the bytes to all the user's terminals at once, within the same three
// seconds in all; the number of terminals that took every byte.
size_t write_terminals(const strlist &paths, uid_t uid, const void *bytes, size_t n);
