// The administrator's side of a message's life, as root on the real system:
// who confirmed, when and where; revoke, remind and purge while users and
// other commands work; and the journal's history with forged entries marked.
#include "common/common.h"
#include "system.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {

const std::string kelv = "/usr/local/bin/kelv";
const std::string helper = "/usr/local/lib/kelvora/kelvora-user";

class Reports : public system_test {
  protected:
    void SetUp() override
    {
        system_test::SetUp();
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

run_result root(std::vector<std::string> args)
{
    args.insert(args.begin(), kelv);
    run_options o;
    o.env = {"TZ=UTC"};
    return run_program(args, o);
}

std::string box(const std::string &user, const std::string &rel)
{
    return "/var/lib/kelvora/users/" + user + "/" + rel;
}

std::string when(int64_t t)
{
    char out[32];
    format_time(t, out);
    return out;
}

int64_t mtime(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

// The prompt of user on a terminal of theirs, answered with answer.
std::string answer_prompt(const std::string &user, const std::string &answer, std::string &tty)
{
    pty_process p = spawn_on_pty(user, {helper, "prompt"}, {"TZ=UTC"});
    tty = p.tty.substr(5);
    if (!p.wait_for("[y/N] ", 5000))
        return "no question: " + p.output;
    p.send(answer);
    p.wait_exit(5000);
    return p.output;
}

// An entry written straight to the journal by user, as anyone can.
void forge(const std::string &user, const std::vector<std::string> &fields)
{
    std::string input;
    for (const std::string &f : fields)
        input += f + "\n";
    run_options o;
    o.input = input;
    o.has_input = true;
    run_as(user, {"logger", "--journald"}, o);
}

// Control bytes, C1 controls (a lone byte from 0x80 to 0x9F starts one on an
// 8-bit terminal) and bidirectional overrides.
bool has_control_bytes(const std::string &s)
{
    for (size_t i = 0; i < s.size(); i++) {
        unsigned char u = static_cast<unsigned char>(s[i]);
        if (u == 0x1b || u == 0x07 || u == '\r' || u == 0x7f || (u < 0x20 && u != '\n'))
            return true;
        if (s.compare(i, 3, "\xe2\x80\xae") == 0 || s.compare(i, 3, "\xe2\x81\xa6") == 0)
            return true;
        // What a lead byte starts is skipped whole; what is left of the C1
        // range stands alone.
        size_t len = u >= 0xf0 ? 4 : u >= 0xe0 ? 3 : u >= 0xc2 ? 2 : 1;
        if (len == 2 && u == 0xc2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) < 0xa0)
            return true;
        if (len == 1 && u >= 0x80 && u <= 0x9f)
            return true;
        i += len - 1;
    }
    return false;
}

} // namespace

TEST_F(Reports, TheWholeRoadOfAMessage)
{
    const std::string n = std::to_string(fresh_message_numbers());
    test_pty bobs_terminal = open_pty_for("bob");
    run_result r = root({"send", "--to", "alice,bob,dave", "--title", "Road", "Maintenance tonight."});
    ASSERT_EQ(r.status, 0) << r.err;
    message m;
    ASSERT_EQ(message_read(("/var/lib/kelvora/sent/" + n + "/msg").c_str(), m), 0);

    std::string alice_tty, bob_tty;
    EXPECT_NE(answer_prompt("alice", "y\n", alice_tty).find("[Kelvora] Confirmed."), std::string::npos);
    EXPECT_NE(answer_prompt("bob", "n\n", bob_tty).find("[Kelvora] You will be asked again in 30 minutes."),
              std::string::npos);

    int64_t confirmed = 0;
    ASSERT_TRUE(parse_number(read_text(box("alice", "acks/" + n)).substr(0, 10).c_str(), confirmed));
    int64_t postponed = mtime(box("bob", "state/" + n + ".term"));
    r = root({"status", n});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Message " + n + " · Road · " + when(m.date) + " · from root\n"
                     "  │ Maintenance tonight.\n"
                     "\n"
                     "USER             STATE\n"
                     "alice            confirmed on " + when(confirmed) + " (terminal " + alice_tty + ")\n"
                     "bob              delivered, written to 1 terminal, postponed on " + when(postponed) + "\n"
                     "dave             delivered\n");

    r = root({"list"});
    std::vector<std::string> listed = split_lines(r.out);
    ASSERT_EQ(listed.size(), 2u) << r.out;
    EXPECT_EQ(listed[1], n + " " + when(m.date) + "  Maintenance tonight." + std::string(20, ' ') +
                             "  1 confirmed · 2 delivered");

    // The history, in journal order and without a mark: every entry was
    // written by the expected program.
    r = root({"log", n});
    std::vector<std::string> history = split_lines(r.out);
    ASSERT_EQ(history.size(), 7u) << r.out;
    EXPECT_EQ(history[0], "Message " + n + " · Road · " + when(m.date));
    const std::string sentences[] = {"message " + n + " delivered to alice (terminals written: 0)",
                                     "message " + n + " delivered to bob (terminals written: 1)",
                                     "message " + n + " delivered to dave (terminals written: 0)",
                                     "message " + n + " sent by root to: alice bob dave",
                                     "user alice: confirmed reading message " + n + " (terminal " + alice_tty + ")",
                                     "user bob: postponed message " + n + " (terminal)"};
    for (int i = 0; i < 6; i++) {
        const std::string &line = history[i + 1];
        EXPECT_EQ(line.find("[not trustworthy"), std::string::npos) << line;
        EXPECT_NE(line.find(sentences[i]), std::string::npos) << line;
        EXPECT_EQ(line.size() > 21 ? line.substr(19, 2) : "", "  ") << line; // "YYYY-MM-DD HH:MM:SS  "
    }
}

TEST_F(Reports, ForgedEntriesAreMarkedWithTheirWriter)
{
    const std::string n = std::to_string(fresh_message_numbers());
    ASSERT_EQ(root({"send", "--to", "alice,bob", "x"}).status, 0);
    forge("bob", {"SYSLOG_IDENTIFIER=kelv", "KELV_MESSAGE=" + n, "KELV_EVENT=SENT", "KELV_AUTHOR=root",
                  "KELV_DETAILS=everyone", "MESSAGE=forged"});
    forge("bob", {"SYSLOG_IDENTIFIER=kelv", "KELV_MESSAGE=" + n, "KELV_EVENT=CONFIRMED", "KELV_USER=alice",
                  "KELV_CHANNEL=desktop", "MESSAGE=forged"});
    forge("bob", {"SYSLOG_IDENTIFIER=kelv", "KELV_MESSAGE=" + n, "KELV_EVENT=POSTPONED", "KELV_USER=bob",
                  "KELV_CHANNEL=terminal", "MESSAGE=genuine"});
    forge("bob", {"SYSLOG_IDENTIFIER=other", "KELV_MESSAGE=" + n, "KELV_EVENT=REVOKED", "MESSAGE=elsewhere"});
    std::string out = root({"log", n}).out;
    EXPECT_NE(out.find("[not trustworthy: written by UID 1002] message " + n + " sent by root to: everyone"),
              std::string::npos) << out;
    EXPECT_NE(out.find("[not trustworthy: written by UID 1002] user alice: confirmed reading message " + n +
                       " (desktop)"),
              std::string::npos) << out;
    // bob may well say that bob put the message off.
    std::vector<std::string> l = split_lines(out);
    auto postponed = std::find_if(l.begin(), l.end(), [&](const std::string &s) {
        return s.find("user bob: postponed message " + n + " (terminal)") != std::string::npos;
    });
    ASSERT_NE(postponed, l.end()) << out;
    EXPECT_EQ(postponed->find("[not trustworthy"), std::string::npos);
    EXPECT_EQ(out.find("revoked"), std::string::npos); // another identifier never shows

    // The JSON form has the same entries, judged the same way.
    std::string judged = "[";
    for (size_t i = 1; i < l.size(); i++)
        judged += std::string(i > 1 ? "," : "") +
                  (l[i].find("[not trustworthy: written by UID 1002]") != std::string::npos ? "[false,1002]" : "[true,null]");
    EXPECT_EQ(jq("[.events[] | [.trusted, .uid]]", root({"log", "--json", n}).out), judged + "]\n");
}

TEST_F(Reports, PlantedEscapeSequencesNeverReachTheAdministrator)
{
    const std::string n = std::to_string(fresh_message_numbers());
    ASSERT_EQ(root({"send", "--to", "alice", "x"}).status, 0);
    run_options o;
    o.input = std::to_string(now()) + " \x1b]0;owned\x07\x1b[2J\x1b[31mdesk\rtop\xc2\x9b\x9b" "2J\xe2\x80\xae\n";
    o.has_input = true;
    ASSERT_EQ(run_as("alice", {"sh", "-c", "cat > /var/lib/kelvora/users/alice/acks/" + n}, o).status, 0);
    forge("alice", {"SYSLOG_IDENTIFIER=kelv", "KELV_MESSAGE=" + n, "KELV_EVENT=CONFIRMED", "KELV_USER=alice",
                    "KELV_CHANNEL=\x1b[8mhidden\x1b]2;title\x07\x9b" "2J\xe2\x81\xa6", "MESSAGE=x"});
    run_result status = root({"status", n}), log = root({"log", n}), list = root({"list"});
    EXPECT_NE(status.out.find("(desktop2J)"), std::string::npos) << status.out;
    run_result status_json = root({"status", n, "--json"}), log_json = root({"log", n, "--json"}),
               list_json = root({"list", "--json"});
    for (const run_result *r : {&status, &log, &list, &status_json, &log_json, &list_json})
        EXPECT_FALSE(has_control_bytes(r->out)) << r->out;
    EXPECT_NE(log.out.find("confirmed reading message " + n + " (hidden2J)"), std::string::npos) << log.out;
    // The JSON carries the journal's field as it is, escaped; the
    // confirmation record as kelv reads every record, cleaned.
    EXPECT_EQ(jq("[.events[] | select(.event == \"CONFIRMED\") | .channel]", log_json.out),
              "[\"\\u001b[8mhidden\\u001b]2;title\\u0007\xef\xbf\xbd" "2J\xe2\x81\xa6\"]\n");
    EXPECT_EQ(jq(".recipients[0].channel", status_json.out), "\"desktop2J\"\n");
}

TEST_F(Reports, WhatAUserWritesNeverPassesForAnotherRowOnAnEightyColumnScreen)
{
    const std::string n = std::to_string(fresh_message_numbers());
    ASSERT_EQ(root({"send", "--to", "alice,bob", "x"}).status, 0);
    // Blanks enough to push the rest onto the start of the next screen row:
    // "bob", blanks to 17, "confirmed on DD/MM HH:MM (" and "desktop" in the
    // status; the time, two blanks, "user bob: postponed message N (" and
    // "terminal" in the history.
    std::string forged_status = std::string(80 - 17 - 26 - 7, ' ') + "carol            confirmed on 01/01 10:00 (desktop)";
    std::string forged_log = std::string(80 - 21 - 30 - n.size() - 8, ' ') +
                             "2025-01-01 10:00:00  user carol: confirmed reading message " + n + " (desktop)";
    run_as("bob", {"sh", "-c", "printf '%s\\n' \"$(date +%s) desktop" + forged_status + "\" > " +
                                   box("bob", "acks/" + n)});
    forge("bob", {"SYSLOG_IDENTIFIER=kelv", "KELV_MESSAGE=" + n, "KELV_EVENT=POSTPONED", "KELV_USER=bob",
                  "KELV_CHANNEL=terminal" + forged_log, "MESSAGE=x"});
    // dave has no part in the message; his own word on it counts for nothing.
    forge("dave", {"SYSLOG_IDENTIFIER=kelv", "KELV_MESSAGE=" + n, "KELV_EVENT=CONFIRMED", "KELV_USER=dave",
                   "KELV_CHANNEL=desktop", "MESSAGE=x"});

    std::vector<std::string> status = screen_of({kelv, "status", n}, 80, 30, {"TZ=UTC"});
    std::vector<std::string> log = screen_of({kelv, "log", n}, 80, 30, {"TZ=UTC"});
    for (const std::vector<std::string> *screen : {&status, &log})
        for (const std::string &row : *screen)
            EXPECT_TRUE(row.rfind("carol", 0) != 0 && row.rfind("2025-", 0) != 0) << row;
    auto row_with = [](const std::vector<std::string> &screen, const std::string &text) {
        return std::find_if(screen.begin(), screen.end(),
                            [&](const std::string &r) { return r.find(text) != std::string::npos; });
    };
    auto bob = row_with(status, "bob ");
    ASSERT_NE(bob, status.end());
    EXPECT_NE(bob->find("confirmed on"), std::string::npos) << *bob;
    EXPECT_LE(bob->size(), 80u);
    auto dave = row_with(log, "user dave: confirmed");
    ASSERT_NE(dave, log.end());
    EXPECT_NE(dave->find("[not trustworthy: written by UID 1004]"), std::string::npos) << *dave;
}

TEST_F(Reports, AMailboxThatCanNeverBeWrittenIsGivenUpAndAPurgeWaitsForCleanMailboxes)
{
    const int64_t first = fresh_message_numbers();
    const std::string n = std::to_string(first), next = std::to_string(first + 1);
    ASSERT_EQ(root({"send", "--to", "alice,bob", "first"}).status, 0);
    // bob's inbox becomes a plain file: no copy can ever be written there.
    run_as("bob", {"sh", "-c", "rm -r " + box("bob", "inbox") + " && echo no > " + box("bob", "inbox")});
    run_result r = root({"send", "--to", "bob,carol", "second"});
    EXPECT_EQ(r.status, 1);
    for (int i = 2; i < 5; i++) {
        r = root({"list"});
        EXPECT_EQ(r.err, "kelv: message " + next + " still not delivered to 1 recipients (see kelv status " + next +
                             ")\n");
    }
    r = root({"list"});
    EXPECT_EQ(r.err, "kelv: message " + next + ": delivery to bob failed 5 times: given up\n");
    EXPECT_EQ(root({"list"}).err, ""); // said once
    EXPECT_NE(root({"status", next}).out.find("bob              sent, not delivered: the copy could not be "
                                              "written, given up after 5 tries (see the log)\n"),
              std::string::npos);
    std::vector<std::string> history = lines(root({"log", next}).out);
    EXPECT_EQ(std::count_if(history.begin(), history.end(),
                            [](const std::string &l) { return l.find("copy for bob not written") != std::string::npos; }),
              2);
    EXPECT_NE(history.back().find("copy for bob not written (given up after 5 tries)"), std::string::npos)
        << history.back();

    // alice's inbox cannot be changed (by her own doing): the purge of the
    // first message stays open until it can.
    run_as("alice", {"chmod", "0555", box("alice", "inbox")});
    sleep(1);
    r = root({"purge", "0d"});
    EXPECT_EQ(r.out, "Deleted 2 messages older than 0d.\n");
    EXPECT_TRUE(exists("/var/lib/kelvora/sent/.deleting-" + n));
    EXPECT_TRUE(exists(box("alice", "inbox/" + n)));
    root({"list"});
    EXPECT_TRUE(exists("/var/lib/kelvora/sent/.deleting-" + n));
    run_as("alice", {"chmod", "0755", box("alice", "inbox")});
    root({"list"});
    EXPECT_FALSE(exists("/var/lib/kelvora/sent/.deleting-" + n));
    EXPECT_FALSE(exists(box("alice", "inbox/" + n)));
}

TEST_F(Reports, RevokeWhileASendIsRunningLeavesNoCopyAnywhere)
{
    test_pty stopped = open_stopped_pty_for("alice");
    run_result sent;
    std::thread sender([&] { sent = root({"send", "--to", "alice,bob,dave", "x"}); });
    for (int i = 0; i < 100 && !exists(box("alice", "inbox/1")); i++)
        usleep(20000);
    run_result revoked = root({"revoke", "1"}); // waits for the send to stop
    sender.join();
    EXPECT_EQ(revoked.status, 0) << revoked.err;
    EXPECT_EQ(revoked.out, "Message 1 revoked.\n");
    EXPECT_EQ(sent.out, "Message 1 revoked while sending: delivery stopped.\n");
    for (const char *u : {"alice", "bob", "dave"})
        EXPECT_FALSE(exists(box(u, "inbox/1"))) << u;
    EXPECT_FALSE(exists("/var/lib/kelvora/sent/1/revoking"));
    EXPECT_NE(root({"status", "1"}).out.find("REVOKED on "), std::string::npos);
}

TEST_F(Reports, RemindTouchesOnlyDeliveredRecipientsAndWakesTheirDesktops)
{
    mkdir("/var/lib/kelvora/users", 0755);
    symlink("/nowhere", "/var/lib/kelvora/users/erin"); // erin's copy cannot be written
    root({"send", "--to", "alice,bob,dave,erin", "x"});
    // Desktops opened since: the reminder starts an agent where one is due.
    session_write("1", {"UID=1001", "USER=alice", "CLASS=user", "TYPE=x11", "STATE=active"});
    session_write("2", {"UID=1002", "USER=bob", "CLASS=user", "TYPE=x11", "STATE=active"});
    run_as("alice", {"sh", "-c", "echo $(date +%s) desktop > /var/lib/kelvora/users/alice/acks/1"});
    for (const char *u : {"alice", "bob", "dave"})
        run_as(u, {"touch", box(u, "state/1.term"), box(u, "state/1.gui")});

    run_result r = root({"remind", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Message 1: 2 recipients reminded.\n");
    EXPECT_FALSE(exists(box("bob", "state/1.term")));
    EXPECT_FALSE(exists(box("dave", "state/1.gui")));
    EXPECT_TRUE(exists(box("alice", "state/1.term"))); // she has confirmed: nothing to ask
    std::string started = read_text("/run/e2e/log/systemd-run.argv");
    EXPECT_NE(started.find("--machine=bob@.host"), std::string::npos) << started;
    EXPECT_EQ(started.find("alice"), std::string::npos) << started;
}

TEST_F(Reports, PurgeKeepsWhatIsYoungOrBusyAndAnInterruptedPurgeIsFinished)
{
    ASSERT_EQ(root({"send", "--to", "alice,bob", "old one"}).status, 0);
    ASSERT_EQ(root({"send", "--to", "alice,bob", "old two"}).status, 0);
    run_as("alice", {"sh", "-c", "echo 1 desktop > /var/lib/kelvora/users/alice/acks/1"});
    // Both are made a hundred days old.
    for (const char *n : {"1", "2"}) {
        std::string path = std::string("/var/lib/kelvora/sent/") + n + "/msg";
        message m;
        ASSERT_EQ(message_read(path.c_str(), m), 0);
        m.date -= 100 * 86400;
        textbuf b;
        message_format(m, b);
        write_text(path, b.data, 0600);
    }
    // A send in progress (held up by a stopped terminal) while purging.
    test_pty stopped = open_stopped_pty_for("bob");
    run_result sent;
    std::thread sender([&] { sent = root({"send", "--to", "alice,bob", "young"}); });
    for (int i = 0; i < 100 && !exists(box("alice", "inbox/3")); i++)
        usleep(20000);
    // Killed right after it moved message 1 away: message 2 stays for later.
    run_result killed = run_program({"strace", "-qq", "-o", "/dev/null", "-f", "-e", "trace=clone",
                                     "-e", "inject=clone:signal=SIGKILL:when=1", kelv, "purge", "90d"},
                                    traced_options());
    EXPECT_EQ(killed.status, 128 + SIGKILL);
    EXPECT_TRUE(exists("/var/lib/kelvora/sent/.deleting-1"));
    sender.join();
    EXPECT_EQ(sent.status, 0) << sent.err;

    run_result r = root({"purge", "90d"});
    EXPECT_EQ(r.out, "Deleted 1 message older than 90d.\n");
    root({"list"}); // the recovery pass finishes the interrupted deletion
    EXPECT_FALSE(exists("/var/lib/kelvora/sent/.deleting-1"));
    for (const char *u : {"alice", "bob"}) {
        for (const char *f : {"inbox/1", "read/1", "acks/1", "inbox/2"})
            EXPECT_FALSE(exists(box(u, f))) << u << " " << f;
        EXPECT_TRUE(exists(box(u, "inbox/3"))) << u;
    }
    EXPECT_EQ(list_dir("/var/lib/kelvora/sent"), (std::vector<std::string>{".seq", ".seq.lock", "3"}));
    EXPECT_EQ(root({"purge", "90d"}).out, "No messages older than 90d.\n");
}
