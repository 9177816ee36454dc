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
    EXPECT_EQ(run_in_child([&] { log_history(7, m, nullptr, 0); }).out, heading);
    systemd_api api = {};
    api.journal_open = open_fails; // nothing else may be called
    run_result r = run_in_child([&] {
        log_history(7, m, &api, 0);
        printf("%d", opened_with);
    });
    // This machine's own journal files only.
    EXPECT_EQ(r.out, heading + std::to_string(SD_JOURNAL_LOCAL_ONLY));
    EXPECT_EQ(r.status, 0);
    // In JSON, a history without a journal is unknown, not empty.
    EXPECT_EQ(reparse_json(run_in_child([&] { log_history_json(7, m, &api); }).out),
              "{\"number\":7,\"date\":1701941400,\"author\":\"root\",\"title\":\"Mainte\\u001b[5mnance\","
              "\"expires\":null,\"events\":null}\n");
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
