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
#include <nlohmann/json.hpp>
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
}

namespace {

const char *or_empty(const char *s) { return s ? s : ""; }

// Events that kelvora-user writes for its own user.
bool is_user_event(const char *kind)
{
    return strcmp(kind, "POSTPONED") == 0 || strcmp(kind, "CONFIRMED") == 0 ||
           strcmp(kind, "CONFIRMATION_FAILED") == 0;
}

} // namespace

bool log_entry_trusted(const log_entry &e, uid_t admin_uid, const strlist &recipients)
{
    int64_t writer;
    if (!parse_number(or_empty(e.uid), writer))
        return false;
    if (!is_user_event(or_empty(e.event)))
        return writer == static_cast<int64_t>(admin_uid);
    // Anyone may write about messages that were never theirs: only what a
    // recipient says about the message counts.
    user_info u;
    return strlist_contains(recipients, or_empty(e.user)) && user_lookup(or_empty(e.user), u) &&
           writer == static_cast<int64_t>(u.uid);
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

bool read_history(int64_t n, const message &m, const systemd_api *sd,
                  const std::function<void(const log_entry &)> &each)
{
    uid_t admin_uid = test_mode ? getuid() : 0;
    // This machine's journal only: the files of other machines (containers,
    // remote hosts) hold entries whose writers are not this machine's users.
    sd_journal *j = nullptr;
    if (!sd || sd->journal_open(&j, SD_JOURNAL_LOCAL_ONLY) < 0)
        return false;
    strlist recipients;
    read_recipients(n, recipients);
    char match[64];
    snprintf(match, sizeof match, "KELV_MESSAGE=%lld", static_cast<long long>(n));
    sd->journal_add_match(j, "SYSLOG_IDENTIFIER=kelv", 0);
    sd->journal_add_match(j, match, 0);
    sd->journal_seek_realtime_usec(j, seek_point(m.date));

    while (sd->journal_next(j) > 0) {
        log_entry e;
        e.event = journal_field(*sd, j, "KELV_EVENT");
        e.user = journal_field(*sd, j, "KELV_USER");
        e.channel = journal_field(*sd, j, "KELV_CHANNEL");
        e.details = journal_field(*sd, j, "KELV_DETAILS");
        e.author = journal_field(*sd, j, "KELV_AUTHOR");
        e.message = journal_field(*sd, j, "MESSAGE");
        e.uid = journal_field(*sd, j, "_UID");
        uint64_t usec;
        e.time = sd->journal_get_realtime_usec(j, &usec) < 0 ? 0 : static_cast<int64_t>(usec / 1000000);
        e.trusted = log_entry_trusted(e, admin_uid, recipients);
        each(e);
    }
    sd->journal_close(j);
    return true;
}

void log_history(int64_t n, const message &m, const systemd_api *sd)
{
    textbuf raw, heading;
    message_heading(m, raw);
    clean_text(raw.data, raw.len, heading);
    printf("Message %lld · %s\n", static_cast<long long>(n), textbuf_str(heading));
    fflush(stdout);

    textbuf line;
    read_history(n, m, sd, [&](const log_entry &e) {
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
    bool journal = read_history(n, m, sd, [&](const log_entry &e) {
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
        log_history(n, m, systemd());
    return 0;
}
