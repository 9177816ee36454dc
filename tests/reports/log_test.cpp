// kelv log: the line of each journal entry (who wrote it, which sentence),
// and what is printed without a journal. The walk over a real journal is
// tested by the real-system suite.
#include "report_store.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <pwd.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

namespace {

struct fields {
    const char *event, *user, *channel, *details, *author, *message, *uid;
    int64_t time;
};

std::string line_of(const fields &f, uid_t admin = 0, int64_t n = 7, const char *recipient = "daemon")
{
    strlist recipients;
    strlist_push_copy(recipients, recipient);
    log_entry e;
    e.event = xstrdup(f.event);
    e.user = xstrdup(f.user);
    e.channel = xstrdup(f.channel);
    e.details = xstrdup(f.details);
    e.author = xstrdup(f.author);
    e.message = xstrdup(f.message);
    e.uid = xstrdup(f.uid);
    e.time = f.time;
    e.trusted = log_entry_trusted(e, admin, recipients);
    textbuf out;
    log_entry_line(e, n, out);
    return textbuf_str(out);
}

uid_t uid_of(const char *name)
{
    struct passwd *pw = getpwnam(name);
    return pw ? pw->pw_uid : static_cast<uid_t>(-1);
}

} // namespace

TEST(LogLine, KelvEventsMustComeFromTheAdministrator)
{
    use_utc();
    int64_t t = utc(2023, 12, 7, 14, 5, 9);
    fields revoked = {"REVOKED", "", "", "", "root", "message 7 revoked by root", "0", t};
    EXPECT_EQ(line_of(revoked), "2023-12-07 14:05:09  message 7 revoked by root");
    EXPECT_EQ(line_of(revoked, 1000), "2023-12-07 14:05:09  [not trustworthy: written by UID 0] message 7 revoked by root");
    fields sent = {"SENT", "", "", "daemon bin", "root", "", "1000", t};
    EXPECT_EQ(line_of(sent), "2023-12-07 14:05:09  [not trustworthy: written by UID 1000] message 7 sent by root to: daemon bin");
    EXPECT_EQ(line_of(sent, 1000), "2023-12-07 14:05:09  message 7 sent by root to: daemon bin");
    fields no_uid = revoked;
    no_uid.uid = "";
    EXPECT_EQ(line_of(no_uid), "2023-12-07 14:05:09  [not trustworthy: written by UID ?] message 7 revoked by root");
    no_uid.uid = "0x0";
    EXPECT_EQ(line_of(no_uid), "2023-12-07 14:05:09  [not trustworthy: written by UID 0x0] message 7 revoked by root");
}

TEST(LogLine, UserEventsMustComeFromTheNamedUser)
{
    use_utc();
    std::string daemon_uid = std::to_string(uid_of("daemon"));
    fields confirmed = {"CONFIRMED", "daemon", "terminal pts/3", "", "", "", daemon_uid.c_str(), 0};
    EXPECT_EQ(line_of(confirmed), "1970-01-01 00:00:00  user daemon: confirmed reading message 7 (terminal pts/3)");
    confirmed.uid = "0";
    EXPECT_EQ(line_of(confirmed),
              "1970-01-01 00:00:00  [not trustworthy: written by UID 0] user daemon: confirmed reading message 7 "
              "(terminal pts/3)");
    fields failed = {"CONFIRMATION_FAILED", "daemon", "desktop", "", "", "", "0", 0};
    EXPECT_EQ(line_of(failed), "1970-01-01 00:00:00  [not trustworthy: written by UID 0] user daemon: ERROR, "
                               "confirmation of message 7 not recorded (desktop): unknown error");
    // A name without an account matches no writer at all.
    fields ghost = {"POSTPONED", "ghost-kelvora", "terminal", "", "", "", "0", 0};
    EXPECT_EQ(line_of(ghost), "1970-01-01 00:00:00  [not trustworthy: written by UID 0] user ghost-kelvora: "
                              "postponed message 7 (terminal)");
    EXPECT_EQ(line_of(ghost, 0, 8), "1970-01-01 00:00:00  [not trustworthy: written by UID 0] user ghost-kelvora: "
                                    "postponed message 8 (terminal)");
}

TEST(LogLine, WhatUsersWriteCannotPassForAnotherRow)
{
    use_utc();
    std::string daemon_uid = std::to_string(uid_of("daemon"));
    // Only a recipient's word on the message counts.
    fields confirmed = {"CONFIRMED", "daemon", "desktop", "", "", "", daemon_uid.c_str(), 0};
    EXPECT_EQ(line_of(confirmed, 0, 7, "bin"), "1970-01-01 00:00:00  [not trustworthy: written by UID " +
                                                   daemon_uid + "] user daemon: confirmed reading message 7 (desktop)");
    // Padded with blanks, a field would wrap on an 80-column terminal into
    // what reads as a row of its own.
    std::string padded = "desktop" + std::string(80, ' ') + "1970-01-01 00:00:00  user bin: confirmed";
    confirmed.channel = padded.c_str();
    EXPECT_EQ(line_of(confirmed), "1970-01-01 00:00:00  user daemon: confirmed reading message 7 (desktop "
                                  "1970-01-01 00:00:00 use…)");
    fields forged = {"SENT", "", "", padded.c_str(), "root", "", "1000", 0};
    EXPECT_EQ(line_of(forged), "1970-01-01 00:00:00  [not trustworthy: written by UID 1000] message 7 sent by root "
                               "to: desktop 1970-01-01 00:00:00 use…");
    // kelv's own entries are shown whole: a send to many has a long list.
    std::string everyone;
    for (int i = 0; i < 40; i++)
        everyone += "user" + std::to_string(i) + " ";
    fields sent = {"SENT", "", "", everyone.c_str(), "root", "", "0", 0};
    EXPECT_EQ(line_of(sent), "1970-01-01 00:00:00  message 7 sent by root to: " + everyone);
}

TEST(LogLine, UnknownKindsShowTheirMessageAndNothingDrivesTheTerminal)
{
    use_utc();
    fields unknown = {"FUTURE_KIND", "", "", "", "", "something \x1b[31mnew\x1b[0m", "0", 60};
    EXPECT_EQ(line_of(unknown), "1970-01-01 00:01:00  something new");
    fields empty = {"", "", "", "", "", "", "0", 60};
    EXPECT_EQ(line_of(empty), "1970-01-01 00:01:00  ");
    // A forged entry cannot print a second, unmarked line of its own.
    fields forged = {"POSTPONED",
                     "nobody",
                     "desktop)\n2023-12-07 14:05:09  user daemon: confirmed reading message 7 (desktop",
                     "",
                     "",
                     "",
                     "0",
                     0};
    std::string line = line_of(forged);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(line.rfind("1970-01-01 00:00:00  [not trustworthy: written by UID 0] ", 0), 0u) << line;
    fields escapes = {"REVOKED", "", "", "", "r\x1b]0;owned\x07oo\x1b[2Jt\r\x7f", "", "0", 0};
    EXPECT_EQ(line_of(escapes), "1970-01-01 00:00:00  message 7 revoked by root");
}

namespace {

int opened_with = -1;
int open_fails(sd_journal **, int flags)
{
    opened_with = flags;
    return -ENOENT;
}

} // namespace

TEST(LogHistory, WithoutAJournalOnlyTheHeading)
{
    use_utc();
    message m;
    std::string file = message_file(7, utc(2023, 12, 7, 9, 30), "text\n", "Mainte\x1b[5mnance");
    ASSERT_EQ(message_parse(file.data(), file.size(), m), 0);
    const std::string heading = "Message 7 · Maintenance · 07/12 09:30\n";
    EXPECT_EQ(run_in_child([&] { log_history(7, m, nullptr); }).out, heading);
    systemd_api api = {};
    api.journal_open = open_fails; // nothing else may be called
    run_result r = run_in_child([&] {
        log_history(7, m, &api);
        printf("%d", opened_with);
    });
    // This machine's own journal files only.
    EXPECT_EQ(r.out, heading + std::to_string(SD_JOURNAL_LOCAL_ONLY));
    EXPECT_EQ(r.status, 0);
}

namespace {

// A journal of a few entries, each a list of "FIELD=value" and a time that
// can be unreadable, behind the calls that read_history makes.
struct fake_entry {
    std::vector<std::string> fields;
    int64_t usec; // < 0: the time cannot be read
};
std::vector<fake_entry> fake_journal;
size_t fake_next_entry = 0;

int fake_open(sd_journal **j, int)
{
    *j = reinterpret_cast<sd_journal *>(&fake_journal);
    fake_next_entry = 0;
    return 0;
}
int fake_match(sd_journal *, const void *, size_t) { return 0; }
int fake_seek(sd_journal *, uint64_t) { return 0; }
int fake_next(sd_journal *) { return fake_next_entry < fake_journal.size() ? (++fake_next_entry, 1) : 0; }
int fake_data(sd_journal *, const char *field, const void **data, size_t *length)
{
    for (const std::string &f : fake_journal[fake_next_entry - 1].fields)
        if (f.rfind(std::string(field) + "=", 0) == 0) {
            *data = f.data();
            *length = f.size();
            return 0;
        }
    return -ENOENT;
}
int fake_time(sd_journal *, uint64_t *usec)
{
    int64_t t = fake_journal[fake_next_entry - 1].usec;
    *usec = static_cast<uint64_t>(t);
    return t < 0 ? -EINVAL : 0;
}
void fake_close(sd_journal *) {}

} // namespace

TEST(LogHistory, TextAndJsonShowTheSameEntriesJudgedTheSameWay)
{
    use_utc();
    test_store s;
    make_record(s, 7, utc(2023, 12, 7, 9, 30), {"daemon"}, "text\n", "Plan \"B\"");
    message m;
    ASSERT_EQ(message_read(s.sent(7, "msg").c_str(), m), 0);
    std::string me = std::to_string(getuid()), daemon = std::to_string(uid_of("daemon"));
    int64_t t = utc(2023, 12, 7, 9, 31, 5);
    const std::string channel = "desk\"top\\\x1b[2J\xe2\x80\xae\xff";
    fake_journal = {
        {{"KELV_EVENT=SENT", "KELV_DETAILS=daemon", "KELV_AUTHOR=ro\"ot\\\x1b[31m", "_UID=" + me}, t * 1000000},
        {{"KELV_EVENT=CONFIRMED", "KELV_USER=daemon", "KELV_CHANNEL=" + channel, "_UID=" + daemon}, t * 1000000 + 5},
        {{"KELV_EVENT=POSTPONED", "KELV_USER=daemon", "KELV_CHANNEL=terminal", "_UID=" + me}, (t + 60) * 1000000},
        {{"KELV_EVENT=LATER", "MESSAGE=new \x07kind\n\xc0"}, -1},
    };
    systemd_api api = {};
    api.journal_open = fake_open;
    api.journal_add_match = fake_match;
    api.journal_seek_realtime_usec = fake_seek;
    api.journal_next = fake_next;
    api.journal_get_data = fake_data;
    api.journal_get_realtime_usec = fake_time;
    api.journal_close = fake_close;

    run_result text = run_in_child([&] { log_history(7, m, &api); });
    EXPECT_EQ(text.out, "Message 7 · Plan \"B\" · 07/12 09:30\n"
                        "2023-12-07 09:31:05  message 7 sent by ro\"ot\\ to: daemon\n"
                        "2023-12-07 09:31:05  user daemon: confirmed reading message 7 (desk\"top\\\xff)\n"
                        "2023-12-07 09:32:05  [not trustworthy: written by UID " + me +
                            "] user daemon: postponed message 7 (terminal)\n"
                            "1970-01-01 00:00:00  [not trustworthy: written by UID ?] new kind \xc0\n");

    run_result r = run_in_child([&] { log_history_json(7, m, &api); });
    json_leaves j = parse_json(r.out);
    ASSERT_TRUE(j.valid) << j.error << r.out;
    EXPECT_EQ(j.value(".number"), "7");
    EXPECT_EQ(j.str(".title"), "Plan \"B\"");
    EXPECT_EQ(j.value(".date"), std::to_string(utc(2023, 12, 7, 9, 30)));
    EXPECT_EQ(j.value(".events"), "[4]");
    const std::string fffd = "\xef\xbf\xbd";
    // time, event, user, channel, details, author, message, trusted, uid;
    // strings with a leading quote.
    const std::vector<std::vector<std::string>> events = {
        {std::to_string(t), "\"SENT", "null", "null", "\"daemon", "\"ro\"ot\\\x1b[31m", "null", "true", "null"},
        {std::to_string(t), "\"CONFIRMED", "\"daemon", "\"desk\"top\\\x1b[2J\xe2\x80\xae" + fffd, "null", "null",
         "null", "true", "null"},
        {std::to_string(t + 60), "\"POSTPONED", "\"daemon", "\"terminal", "null", "null", "null", "false", me},
        {"null", "\"LATER", "null", "null", "null", "null", "\"new \x07kind\n" + fffd, "false", "null"},
    };
    for (size_t i = 0; i < events.size(); i++) {
        std::vector<std::string> got;
        for (const char *key : {"time", "event", "user", "channel", "details", "author", "message", "trusted", "uid"}) {
            std::string at = ".events[" + std::to_string(i) + "]." + key;
            got.push_back(j.strings.count(at) ? "\"" + j.str(at) : j.value(at));
        }
        EXPECT_EQ(got, events[i]) << i;
    }

    // Without a journal the history is unknown, not empty.
    j = parse_json(run_in_child([&] { log_history_json(7, m, nullptr); }).out);
    EXPECT_EQ(j.value(".events"), "null");
    EXPECT_EQ(j.value(".number"), "7");
}

TEST(LogCommand, HeadingAndRefusals)
{
    test_store s;
    make_record(s, 5, utc(2099, 1, 2, 3, 4), {"daemon"}, "text\n", "Later"); // nothing can be logged after it
    run_result r = s.kelv({"log", "5"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Message 5 · Later · 02/01 03:04\n");
    for (const char *bad : {"6", "x"}) {
        r = s.kelv({"log", bad});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("kelv: no such message: ") + bad + "\n");
    }
    r = s.kelv({"log"});
    EXPECT_EQ(r.err, "kelv: missing message ID\n");
    EXPECT_EQ(r.out, "");
}
