// kelv send. The steps are ordered so that an interruption anywhere leaves
// what the recovery pass needs: the incomplete marker is set before the
// message is saved and removed only after every copy is written and flushed;
// msg and recipients are flushed before the first delivery, so from then on
// the send can always be completed.
#include "core.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const size_t text_read_limit = 67108864;
const size_t text_limit = 65536;
const int file_time_limit = 20;

struct send_options {
    const char *to = nullptr;
    const char *title = nullptr;
    const char *file = nullptr;
    int64_t expires = 0;
    int first_word = -1;   // index of the first text word, -1: none
    bool words_after_dashes = false; // "--" ended the options: every word is text
    bool json = false;
};

bool is_option(const char *a)
{
    return strcmp(a, "--to") == 0 || strcmp(a, "--title") == 0 || strcmp(a, "--expires") == 0 ||
           strcmp(a, "--file") == 0;
}

// Relative durations: digits and one letter, of which only m, h, d and w
// name a unit. False when the value has another form. Any other letter is
// refused here: date would read it as a military time zone ("1w" as today
// 11:00), a time the administrator never meant.
bool relative_expiry(const char *value, int64_t &out)
{
    size_t n = strlen(value);
    char letter = n > 0 ? static_cast<char>(value[n - 1] | 0x20) : 0;
    if (n < 2 || letter < 'a' || letter > 'z' || strspn(value, "0123456789") != n - 1)
        return false;
    int64_t unit = 0;
    switch (value[n - 1]) {
    case 'm': unit = 60; break;
    case 'h': unit = 3600; break;
    case 'd': unit = 86400; break;
    case 'w': unit = 7 * 86400; break;
    default: die("invalid expiry: %s", value);
    }
    char digits[20];
    int64_t count, seconds;
    if (n - 1 > 18)
        die("invalid expiry: %s", value);
    memcpy(digits, value, n - 1);
    digits[n - 1] = '\0';
    if (!parse_number(digits, count) || __builtin_mul_overflow(count, unit, &seconds) ||
        __builtin_add_overflow(now(), seconds, &out))
        die("invalid expiry: %s", value);
    return true;
}

// Any other date is the system's date program's business.
int64_t date_expiry(const char *value)
{
    fd_pair out;
    if (make_pipe(out) < 0)
        die("invalid expiry: %s", value);
    fflush(stdout);
    child_process c;
    c.pid = fork();
    if (c.pid < 0)
        die("invalid expiry: %s", value);
    if (c.pid == 0) {
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(out.write_end.get(), 1);
        if (null >= 0)
            dup2(null, 2);
        execlp("date", "date", "-d", value, "+%s", static_cast<char *>(nullptr));
        _exit(127);
    }
    out.write_end.reset();
    textbuf printed;
    read_fd(out.read_end.get(), 64, printed);
    out.read_end.reset();
    int status = child_wait(c);
    if (status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || !printed.data)
        die("invalid expiry: %s", value);
    if (char *nl = strchr(printed.data, '\n'))
        *nl = '\0';
    int64_t t;
    if (!parse_number(printed.data, t))
        die("invalid expiry: %s", value);
    return t;
}

} // namespace

int64_t parse_expiry(const char *value)
{
    int64_t t;
    if (!relative_expiry(value, t))
        t = date_expiry(value);
    if (t <= now())
        die("the expiry is already in the past");
    return t;
}

namespace {

send_options parse_send_arguments(int argc, char **argv)
{
    send_options o;
    if (argc == 0)
        die("missing --to");
    for (int i = 0; i < argc; i++) {
        const char *a = argv[i];
        if (is_json_option(a)) {
            o.json = true;
            continue;
        }
        if (is_option(a)) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0')
                die("missing value for %s", a);
            const char *value = argv[++i];
            if (strcmp(a, "--to") == 0)
                o.to = value;
            else if (strcmp(a, "--title") == 0)
                o.title = value;
            else if (strcmp(a, "--file") == 0)
                o.file = value;
            else
                o.expires = parse_expiry(value);
            continue;
        }
        if (strcmp(a, "--") == 0) {
            if (!o.to)
                die("missing --to");
            if (i + 1 < argc)
                o.first_word = i + 1;
            o.words_after_dashes = true;
            return o;
        }
        if (a[0] == '-' && a[1] != '\0')
            die("unknown option: %s", a);
        if (!o.to)
            die("missing --to");
        o.first_word = i;
        // A --json among the words asks for the report, as before them: put
        // after "--", it is text.
        for (int k = i + 1; k < argc; k++)
            o.json = o.json || is_json_option(argv[k]);
        return o;
    }
    if (!o.to)
        die("missing --to");
    return o;
}

// Reads the --file with the rights of whoever called kelv through sudo, so
// that a link to a file only root may read is refused as it would be to the
// caller; root's own calls read as root. A caller that sudo names but that
// cannot be found gets nothing read as root in its place.
int read_text_file(const char *path, textbuf &text)
{
    user_info caller;
    const char *who;
    switch (find_sudo_caller(caller, who)) {
    case sudo_caller_state::none: break;
    case sudo_caller_state::found:
        return read_file_as_user(caller, path, text_read_limit, false, text, file_time_limit);
    case sudo_caller_state::lost: {
        textbuf shown;
        clean_text(who, strlen(who), shown);
        die("%s: the account that called sudo (%s) cannot be found", path, textbuf_str(shown));
    }
    }
    return read_file(path, text_read_limit, false, text);
}

void read_message_text(const send_options &o, int argc, char **argv, textbuf &text)
{
    if (o.first_word >= 0) {
        bool first = true;
        for (int i = o.first_word; i < argc; i++) {
            if (!o.words_after_dashes && is_json_option(argv[i]))
                continue;
            if (!first)
                textbuf_append_char(text, ' ');
            textbuf_append_str(text, argv[i]);
            first = false;
        }
    } else if (o.file) {
        if (read_text_file(o.file, text) < 0)
            die("%s: %s", o.file, strerror(errno));
    } else if (read_fd(0, text_read_limit, text) < 0) {
        die("standard input: %s", strerror(errno));
    }
}

bool is_blank(const textbuf &t)
{
    for (size_t i = 0; i < t.len; i++)
        if (!strchr(" \t\n\v\f\r", t.data[i]))
            return false;
    return true;
}

// The cleaned text (without its trailing newlines) and the cleaned title on
// one line.
void prepare_text(const send_options &o, int argc, char **argv, textbuf &text, textbuf &title)
{
    textbuf raw;
    read_message_text(o, argc, argv, raw);
    while (raw.len > 0 && raw.data[raw.len - 1] == '\n')
        raw.data[--raw.len] = '\0';
    clean_text(textbuf_str(raw), raw.len, text);
    const char *t = o.title ? o.title : "";
    clean_text(t, strlen(t), title);
    for (size_t i = 0; i < title.len; i++)
        if (title.data[i] == '\t' || title.data[i] == '\n')
            title.data[i] = ' ';
    if (text.len == 0 || is_blank(text))
        die("empty message");
    if (text.len > text_limit)
        die("message too long: %zu bytes (at most %d)", text.len, static_cast<int>(text_limit));
}

void build_banner(const message &m, textbuf &banner)
{
    textbuf plain, heading;
    message_heading(m, heading);
    textbuf_printf(plain, "\n── Kelvora · Message from the administrator · %s ──\n%s", heading.data, m.text);
    textbuf_append_str(plain, "────────────────────────────────────────\n");
    // The terminal may be in raw mode: every line end takes a carriage return.
    for (size_t i = 0; i < plain.len; i++) {
        if (plain.data[i] == '\n')
            textbuf_append_char(banner, '\r');
        textbuf_append_char(banner, plain.data[i]);
    }
}

bool is_store_directory(const char *path)
{
    struct stat st;
    if (lstat(path, &st) < 0)
        return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

void prepare_store()
{
    char *users = xasprintf("%s/users", var_dir);
    char *sent = xasprintf("%s/sent", var_dir);
    mkdir(var_dir, 0755);
    mkdir(users, 0755);
    mkdir(sent, 0700);
    if (!is_store_directory(users) || !is_store_directory(sent))
        die("%s: %s", var_dir, strerror(errno));
    free(users);
    free(sent);
}

void save_file(int64_t n, const char *name, const textbuf &bytes)
{
    char *path = sent_path(n, name);
    if (write_file_atomic(path, textbuf_str(bytes), bytes.len, 0600) < 0)
        die("%s: %s", sent_path(n, nullptr), strerror(errno));
    free(path);
}

void fsync_record(int64_t n, const char *name)
{
    char *path = sent_path(n, name);
    fsync_path(path);
    free(path);
}

// What became of one recipient of a send.
enum class delivery { delivered, no_account, not_written, stopped };

struct recipient_result {
    const char *name;
    delivery what;
    int terminals; // that took the whole banner, when delivered
};

// The outcome of a send, as both forms of its report show it.
struct send_report {
    long long id;
    std::vector<recipient_result> recipients; // every one, in the order of the send
    size_t failed;                            // not delivered, to be retried
    bool revoked;                             // the revocation record exists now
    int64_t expires;                          // the expiry the send computed, 0: none
};

void print_send_text(const send_report &r)
{
    long long id = r.id;
    size_t count = r.recipients.size();
    // The time a relative or free-form --expires came to, where the
    // administrator sees whether it is the one meant.
    char expiry[64] = "";
    if (r.expires != 0) {
        char when[32];
        format_time(r.expires, when);
        snprintf(expiry, sizeof expiry, " Expires on %s.", when);
    }
    if (r.failed)
        printf("Message %lld delivered to %zu of %zu recipients.%s\n", id, count - r.failed, count, expiry);
    else if (r.revoked)
        printf("Message %lld revoked while sending: delivery stopped.\n", id);
    else if (count == 1)
        printf("Message %lld sent to 1 user.%s\n", id, expiry);
    else
        printf("Message %lld sent to %zu users.%s\n", id, count, expiry);
}

void print_send_json(const send_report &r)
{
    nlohmann::ordered_json recipients = nlohmann::ordered_json::array();
    for (const recipient_result &x : r.recipients) {
        const char *reason = x.what == delivery::no_account    ? "no such user"
                             : x.what == delivery::not_written ? "the copy could not be written"
                             : x.what == delivery::stopped     ? "revoked while sending"
                                                               : nullptr;
        nlohmann::ordered_json e = {{"user", x.name}, {"delivered", !reason}};
        e["terminals"] = reason ? nlohmann::ordered_json() : nlohmann::ordered_json(x.terminals);
        e["reason"] = reason ? nlohmann::ordered_json(reason) : nlohmann::ordered_json();
        recipients.push_back(std::move(e));
    }
    print_json({{"message", r.id},
                {"expires", r.expires ? nlohmann::ordered_json(r.expires) : nlohmann::ordered_json()},
                {"revoked", r.revoked},
                {"recipients", std::move(recipients)}});
}

} // namespace

int send(int argc, char **argv)
{
    send_options o = parse_send_arguments(argc, argv);
    textbuf text, title;
    prepare_text(o, argc, argv, text, title);

    message m;
    m.id = 999999999999999999LL; // the widest number: the final file is never larger
    m.from = xstrdup(author_name());
    m.date = now();
    m.title = xstrdup(textbuf_str(title));
    m.expires = o.expires;
    textbuf_append_char(text, '\n');
    m.text = xstrdup(text.data);
    textbuf bytes;
    message_format(m, bytes);
    // A file larger than this could not be read back by anyone.
    if (bytes.len > MESSAGE_FILE_LIMIT)
        die("title too long: the message would take %zu bytes (at most %d)", bytes.len, MESSAGE_FILE_LIMIT);

    strlist recipients;
    resolve_recipients(o.to, recipients);
    if (recipients.count == 0)
        die("no recipients");
    prepare_store();

    int64_t n = allocate_message_number();
    unique_fd lock = lock_message(n, false);
    if (!lock.valid())
        die("%s: %s", sent_path(n, nullptr), strerror(errno));
    touch_marker(n, "incomplete");

    m.id = n;
    m.date = now();
    textbuf_clear(bytes);
    message_format(m, bytes);
    textbuf banner;
    build_banner(m, banner);
    textbuf names;
    for (size_t i = 0; i < recipients.count; i++)
        textbuf_printf(names, "%s\n", recipients.items[i]);
    save_file(n, "msg", bytes);
    save_file(n, "recipients", names);
    fsync_record(n, "incomplete");
    fsync_record(n, nullptr);
    char *sent_dir = xasprintf("%s/sent", var_dir);
    fsync_path(sent_dir);
    free(sent_dir);

    strlist failed;
    std::vector<recipient_result> results;
    char *record_dir = sent_path(n, nullptr);
    for (size_t i = 0; i < recipients.count; i++) {
        const char *name = recipients.items[i];
        if (has_marker(n, "revoked")) {
            for (size_t k = i; k < recipients.count; k++)
                results.push_back({recipients.items[k], delivery::stopped, 0});
            break;
        }
        user_info u;
        bool known = user_lookup(name, u);
        if (!known || !deliver_copy(u, n, bytes)) {
            count_failed_try(record_dir, "deliver", name);
            strlist_push_copy(failed, name);
            event("NOT_DELIVERED", n, name, nullptr, nullptr, nullptr);
            results.push_back({name, known ? delivery::not_written : delivery::no_account, 0});
            continue;
        }
        strlist terminals;
        list_user_terminals(u.uid, terminals);
        int written = static_cast<int>(write_terminals(terminals, u.uid, banner.data, banner.len));
        start_agent(u);
        append_delivery(n, name, written);
        char count[16];
        snprintf(count, sizeof count, "%d", written);
        event("DELIVERED", n, name, nullptr, count, nullptr);
        results.push_back({name, delivery::delivered, written});
    }

    free(record_dir);
    textbuf everyone;
    for (size_t i = 0; i < recipients.count; i++)
        textbuf_printf(everyone, "%s%s", i ? " " : "", recipients.items[i]);
    event("SENT", n, nullptr, nullptr, everyone.data, author_name());

    long long id = static_cast<long long>(n);
    // A send with failures stays open: the next recovery pass retries them.
    if (failed.count == 0)
        close_send(n);
    send_report report = {id, std::move(results), failed.count, has_marker(n, "revoked"), m.expires};
    if (o.json)
        print_send_json(report);
    else
        print_send_text(report);
    if (failed.count) {
        textbuf list;
        for (size_t i = 0; i < failed.count; i++)
            textbuf_printf(list, " %s", failed.items[i]);
        die("message %lld not delivered to:%s (see the log; the next kelv command will retry)", id, list.data);
    }
    return 0;
}
