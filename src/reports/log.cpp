// kelv log: the history of one message as the journal holds it.
//
// Anyone may write journal entries that look like ours, but the journal
// records the writer's user ID itself (_UID). kelv's own events must come
// from root (in test mode: from the tester), a user's confirmations and
// postponements from that user; every other line is marked as not
// trustworthy. Each entry prints as exactly one cleaned line, so no field can
// forge a line of its own; the JSON form carries the fields as the journal
// holds them, with the same judgement of their writer.
#include "reports.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <unordered_map>
#include <systemd/sd-journal.h>
#include <utility>
#include <unistd.h>

log_entry::~log_entry() { log_entry_free(*this); }

void log_entry_free(log_entry &e)
{
    for (char **f : {&e.event, &e.user, &e.channel, &e.details, &e.author, &e.message, &e.uid}) {
        free(*f);
        *f = nullptr;
    }
    e.time = 0;
    e.trusted = false;
    e.left_out = 0;
}

namespace {

const char *or_empty(const char *s) { return s ? s : ""; }

// Events that kelvora-user writes for its own user.
bool is_user_event(const char *kind)
{
    return strcmp(kind, "POSTPONED") == 0 || strcmp(kind, "CONFIRMED") == 0 ||
           strcmp(kind, "CONFIRMATION_FAILED") == 0;
}

// Who may have written what: kelv's events the administrator (admin_uid),
// a user's own the recipients, each under the user ID of their account,
// looked up once per history rather than once per entry.
struct writers {
    uid_t admin_uid;
    const strlist &recipients;
    std::unordered_map<std::string, int64_t> uids; // recipient → its uid, -1: no account
};

bool written_by_expected(const log_entry &e, writers &w)
{
    int64_t writer;
    if (!parse_number(or_empty(e.uid), writer))
        return false;
    if (!is_user_event(or_empty(e.event)))
        return writer == static_cast<int64_t>(w.admin_uid);
    // Anyone may write about messages that were never theirs: only what a
    // recipient says about the message counts.
    const char *name = or_empty(e.user);
    if (!strlist_contains(w.recipients, name))
        return false;
    auto it = w.uids.find(name);
    if (it == w.uids.end()) {
        user_info u;
        it = w.uids.emplace(name, user_lookup(name, u) ? static_cast<int64_t>(u.uid) : -1).first;
    }
    return it->second >= 0 && writer == it->second;
}

} // namespace

bool log_entry_trusted(const log_entry &e, uid_t admin_uid, const strlist &recipients)
{
    writers w = {admin_uid, recipients, {}};
    return written_by_expected(e, w);
}

namespace {

// The field as a user may have written it: one line, cut to a sane width.
char *user_field(const char *text)
{
    textbuf b;
    textbuf_append_str(b, "");
    textbuf_append_field(b, or_empty(text), user_field_columns);
    char *out = b.data;
    b.data = nullptr;
    return out;
}

// Where to start reading: one second before the message's date, in
// microseconds; the beginning for a date of 0 or less, and the far end for a
// date too large to be counted in microseconds.
uint64_t seek_point(int64_t date)
{
    if (date <= 0)
        return 0;
    uint64_t seconds = static_cast<uint64_t>(date - 1);
    if (seconds > UINT64_MAX / 1000000)
        return UINT64_MAX;
    return seconds * 1000000;
}

} // namespace

void log_entry_line(const log_entry &e, int64_t n, textbuf &out)
{
    char when[64];
    time_t t = static_cast<time_t>(e.time);
    struct tm tm;
    if (!localtime_r(&t, &tm) || strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm) == 0)
        strcpy(when, "?");

    textbuf raw;
    textbuf_printf(raw, "%s  ", when);
    if (!e.trusted)
        textbuf_printf(raw, "[not trustworthy: written by UID %s] ", e.uid && *e.uid ? e.uid : "?");
    if (e.left_out > 0) {
        // Not a user's words: the line says how many of theirs were left out.
        textbuf_printf(raw, "%zu more entries of this writer left out", e.left_out);
        clean_text(raw.data, raw.len, out);
        return;
    }
    // A user's words, and all of a forged entry, are cut: padded with blanks
    // they would wrap into what looks like a row of its own.
    log_entry f;
    bool users_words = !e.trusted || is_user_event(or_empty(e.event));
    for (auto [from, to] : {std::pair{e.user, &f.user}, std::pair{e.channel, &f.channel},
                            std::pair{e.details, &f.details}, std::pair{e.author, &f.author},
                            std::pair{e.message, &f.message}})
        *to = users_words ? user_field(from) : xstrdup(or_empty(from));
    if (!event_describe(or_empty(e.event), n, f.user, f.channel, f.details, f.author, raw))
        textbuf_append_str(raw, f.message);

    size_t start = out.len;
    clean_text(raw.data, raw.len, out);
    for (size_t i = start; i < out.len; i++)
        if (out.data[i] == '\n')
            out.data[i] = ' ';
}

char *journal_field(const systemd_api &sd, sd_journal *j, const char *field)
{
    const void *data;
    size_t len;
    size_t name_len = strlen(field);
    if (sd.journal_get_data(j, field, &data, &len) < 0 || len <= name_len ||
        memcmp(data, field, name_len) != 0 || static_cast<const char *>(data)[name_len] != '=')
        return xstrdup("");
    return xstrndup(static_cast<const char *>(data) + name_len + 1, len - name_len - 1);
}

namespace {

// The journal's entries about message n, from a second before date; NULL
// when there is no journal.
sd_journal *open_history(int64_t n, int64_t date, const systemd_api &sd)
{
    // This machine's journal only: the files of other machines (containers,
    // remote hosts) hold entries whose writers are not this machine's users.
    sd_journal *j = nullptr;
    if (sd.journal_open(&j, SD_JOURNAL_LOCAL_ONLY) < 0)
        return nullptr;
    char match[64];
    snprintf(match, sizeof match, "KELV_MESSAGE=%lld", static_cast<long long>(n));
    sd.journal_add_match(j, "SYSLOG_IDENTIFIER=kelv", 0);
    sd.journal_add_match(j, match, 0);
    sd.journal_seek_realtime_usec(j, seek_point(date));
    return j;
}

} // namespace

bool read_history(int64_t n, const message &m, const systemd_api *sd, size_t untrusted_limit,
                  const std::function<void(const log_entry &)> &each)
{
    sd_journal *j = sd ? open_history(n, m.date, *sd) : nullptr;
    if (!j)
        return false;
    strlist recipients;
    read_recipients(n, recipients);
    writers w = {test_mode ? getuid() : 0, recipients, {}};
    // Entries that cannot be trusted, by writer: how many, and the time of
    // the last one.
    struct untrusted_writer {
        size_t seen = 0;
        int64_t last = 0;
    };
    std::map<std::string, untrusted_writer> untrusted;

    while (sd->journal_next(j) > 0) {
        log_entry e;
        // Judged first, from three fields: an entry over the limit costs no
        // more than that.
        e.event = journal_field(*sd, j, "KELV_EVENT");
        e.user = journal_field(*sd, j, "KELV_USER");
        e.uid = journal_field(*sd, j, "_UID");
        uint64_t usec;
        e.time = sd->journal_get_realtime_usec(j, &usec) < 0 ? 0 : static_cast<int64_t>(usec / 1000000);
        e.trusted = written_by_expected(e, w);
        if (!e.trusted && untrusted_limit > 0) {
            untrusted_writer &u = untrusted[e.uid];
            u.last = e.time;
            if (++u.seen > untrusted_limit)
                continue;
        }
        e.channel = journal_field(*sd, j, "KELV_CHANNEL");
        e.details = journal_field(*sd, j, "KELV_DETAILS");
        e.author = journal_field(*sd, j, "KELV_AUTHOR");
        e.message = journal_field(*sd, j, "MESSAGE");
        each(e);
    }
    sd->journal_close(j);
    for (const auto &[uid, u] : untrusted) {
        if (u.seen <= untrusted_limit)
            continue;
        log_entry e;
        e.uid = xstrdup(uid.c_str());
        e.time = u.last;
        e.left_out = u.seen - untrusted_limit;
        each(e);
    }
    return true;
}

uint64_t latest_history_entry(int64_t n, const systemd_api *sd)
{
    sd_journal *j = sd ? open_history(n, 0, *sd) : nullptr;
    if (!j)
        return 0;
    uint64_t usec = 0;
    if (sd->journal_seek_tail(j) < 0 || sd->journal_previous(j) <= 0 ||
        sd->journal_get_realtime_usec(j, &usec) < 0)
        usec = 0;
    sd->journal_close(j);
    return usec;
}

void log_history(int64_t n, const message &m, const systemd_api *sd, size_t untrusted_limit)
{
    textbuf raw, heading;
    message_heading(m, raw);
    clean_text(raw.data, raw.len, heading);
    printf("Message %lld · %s\n", static_cast<long long>(n), textbuf_str(heading));
    fflush(stdout);

    textbuf line;
    read_history(n, m, sd, untrusted_limit, [&](const log_entry &e) {
        textbuf_clear(line);
        log_entry_line(e, n, line);
        printf("%s\n", textbuf_str(line));
    });
}

namespace {

// A field of a journal entry: null when the entry has none or it is empty.
nlohmann::ordered_json journal_value(const char *field)
{
    return json_text(field && *field ? field : nullptr);
}

} // namespace

void log_history_json(int64_t n, const message &m, const systemd_api *sd)
{
    nlohmann::ordered_json doc = json_message(n, m);
    nlohmann::ordered_json events = nlohmann::ordered_json::array();
    bool journal = read_history(n, m, sd, 0, [&](const log_entry &e) {
        int64_t uid;
        bool uid_known = !e.trusted && parse_number(or_empty(e.uid), uid);
        events.push_back({{"time", json_time(e.time)},
                          {"event", journal_value(e.event)},
                          {"user", journal_value(e.user)},
                          {"channel", journal_value(e.channel)},
                          {"details", journal_value(e.details)},
                          {"author", journal_value(e.author)},
                          {"message", journal_value(e.message)},
                          {"trusted", e.trusted},
                          {"uid", uid_known ? nlohmann::ordered_json(uid) : nullptr}});
    });
    // No journal: the history is unknown, not empty.
    doc["events"] = journal ? std::move(events) : nullptr;
    print_json(doc);
}

int log(int argc, char **argv)
{
    bool json = take_json_option(argc, argv);
    const char *arg = argc > 0 ? argv[0] : nullptr;
    int64_t n = parse_message_argument(arg);
    message m;
    read_reference(n, arg, m);
    if (json)
        log_history_json(n, m, systemd());
    else
        log_history(n, m, systemd(), 0);
    return 0;
}

int history(int argc, char **argv)
{
    const char *arg = argc > 0 ? argv[0] : nullptr;
    int64_t n = parse_message_argument(arg);
    const systemd_api *sd = systemd();
    // Taken before the history is read: an entry written meanwhile makes the
    // next look differ, and the history is read again.
    printf("#%llu\n", static_cast<unsigned long long>(latest_history_entry(n, sd)));
    fflush(stdout);
    if (argc > 1 && strcmp(argv[1], "latest") == 0)
        return 0;
    message m;
    read_reference(n, arg, m);
    log_history(n, m, sd, history_untrusted_limit);
    return 0;
}
