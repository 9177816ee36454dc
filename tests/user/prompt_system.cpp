// The terminal prompt of kelvora-user for real: the installed helper runs as
// alice on a pseudo-terminal of hers, the messages come from the installed
// kelv run as root, and the outcomes are read back from her mailbox and the
// system journal.
#include "helper_system.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>

using namespace helper_system;

namespace {

class Prompt : public helper_test {};
class PromptRace : public helper_test {};

const std::string rule = "────────────────────────────────────────";

// Message n's banner and text as the prompt prints them ahead of the
// question; text is what was sent, title "" for an untitled message.
std::string shown(int64_t n, const std::string &title, const std::string &text)
{
    std::string heading = title.empty() ? send_date(n) : title + " · " + send_date(n);
    return crlf("\n── Kelvora · Message from the administrator · " + heading + " ──\n" + text +
                "\n" + rule + "\n");
}

std::string asked_again(int minutes)
{
    return "[Kelvora] You will be asked again in " + std::to_string(minutes) + " minutes.\r\n";
}

std::string count_line(int skipped)
{
    if (skipped == 0)
        return "";
    if (skipped == 1)
        return "[Kelvora] You have 1 message from the administrator to confirm.\r\n";
    return "[Kelvora] You have " + std::to_string(skipped) +
           " messages from the administrator to confirm.\r\n";
}

const std::string confirmed = "[Kelvora] Confirmed.\r\n";
const std::string elsewhere =
    "\r\n[Kelvora] Message already confirmed elsewhere (for example on the desktop).\r\n";
const std::string revoked = "\r\n[Kelvora] The administrator has revoked the message.\r\n";
const std::string expired = "\r\n[Kelvora] The message has expired.\r\n";

pty_process start_prompt(bool login = false)
{
    std::vector<std::string> argv = {helper, "prompt"};
    if (login)
        argv.push_back("--login");
    return spawn_on_pty("alice", argv, user_env());
}

std::string channel_of(const pty_process &p)
{
    return "terminal " + p.tty.substr(5); // without "/dev/"
}

// acks/N holds exactly one line: a time from `from` to `to` and the channel.
void expect_record(int64_t n, const std::string &channel, int64_t from, int64_t to)
{
    std::string line = read_text(box("acks", n));
    size_t blank = line.find(' ');
    ASSERT_NE(blank, std::string::npos) << line;
    int64_t t = std::stoll(line.substr(0, blank));
    EXPECT_GE(t, from);
    EXPECT_LE(t, to);
    EXPECT_EQ(line.substr(blank), " " + channel + "\n");
}

// One event, written by alice herself, with channel.
void expect_one_event(const std::vector<journal_entry> &found, const std::string &channel)
{
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].get("_UID"), "1001");
    EXPECT_EQ(found[0].get("KELV_USER"), "alice");
    EXPECT_EQ(found[0].get("KELV_CHANNEL"), channel);
}

} // namespace

TEST_F(Prompt, AnAnswerBeginningWithYConfirmsWithThisTerminalAsChannel)
{
    for (const std::string answer : {"y", "Y", "yes"}) {
        SCOPED_TRACE(answer);
        int64_t n = send_message({"--to", "alice", "--title", "Reboot", "Reboot at 13:00."});
        int64_t before = time(nullptr);
        pty_process p = start_prompt();
        ASSERT_TRUE(p.wait_for(question, 5000)) << p.output;
        p.send(answer + "\n");
        ASSERT_EQ(p.wait_exit(5000), 0) << p.output;
        int64_t after = time(nullptr);

        EXPECT_EQ(p.output, shown(n, "Reboot", "Reboot at 13:00.") + question + answer + "\r\n" +
                                confirmed);
        expect_record(n, channel_of(p), before, after);
        EXPECT_FALSE(exists(box("inbox", n)));
        EXPECT_TRUE(exists(box("read", n)));
        expect_one_event(events("CONFIRMED", n), channel_of(p));
        EXPECT_TRUE(events("POSTPONED", n).empty());
    }
    // Nothing half-written stays behind.
    EXPECT_EQ(list_dir(box("acks")), (std::vector<std::string>{"1", "2", "3"}));
}

TEST_F(Prompt, AnyOtherAnswerPostponesForTheConfiguredInterval)
{
    configure(7);
    struct answer {
        const char *name;
        std::string typed;
        std::string echoed;
    };
    // End of input (Ctrl-D on an empty line) is not echoed.
    const answer answers[] = {{"no", "n\n", "n\r\n"},
                              {"another letter", "x\n", "x\r\n"},
                              {"empty line", "\n", "\r\n"},
                              {"blank before y", " y\n", " y\r\n"},
                              {"end of input", "\x04", ""}};
    int postponed = 0;
    for (const answer &a : answers) {
        SCOPED_TRACE(a.name);
        int64_t n = send_message({"--to", "alice", "Untitled notice."});
        int64_t before = time(nullptr);
        pty_process p = start_prompt();
        ASSERT_TRUE(p.wait_for(question, 5000)) << p.output;
        p.send(a.typed);
        ASSERT_EQ(p.wait_exit(5000), 0) << p.output;
        int64_t after = time(nullptr);

        // The ones put off before are only counted, after this one.
        EXPECT_EQ(p.output, shown(n, "", "Untitled notice.") + question + a.echoed +
                                asked_again(7) + count_line(postponed));
        postponed++;
        int64_t touched = mtime_of(box("state", n, ".term"));
        EXPECT_GE(touched, before);
        EXPECT_LE(touched, after);
        EXPECT_TRUE(exists(box("inbox", n)));
        EXPECT_FALSE(exists(box("acks", n)));
        EXPECT_FALSE(exists(box("read", n)));
        EXPECT_FALSE(exists(box("state", n, ".gui")));
        expect_one_event(events("POSTPONED", n), "terminal");
        EXPECT_TRUE(events("CONFIRMED", n).empty());
    }
}

TEST_F(Prompt, WithinTheIntervalAPostponedMessageIsOnlyCounted)
{
    configure(1);
    int64_t n1 = send_message({"--to", "alice", "First."});
    {
        pty_process p = start_prompt();
        ASSERT_TRUE(p.wait_for(question, 5000)) << p.output;
        p.send("n\n");
        ASSERT_EQ(p.wait_exit(5000), 0) << p.output;
    }
    {
        pty_process p = start_prompt();
        ASSERT_EQ(p.wait_exit(5000), 0);
        EXPECT_EQ(p.output, count_line(1));
    }
    EXPECT_EQ(events("POSTPONED", n1).size(), 1u);

    // Two more, both put off: the first is counted after them.
    int64_t n2 = send_message({"--to", "alice", "Second."});
    int64_t n3 = send_message({"--to", "alice", "Third."});
    {
        pty_process p = start_prompt();
        ASSERT_TRUE(wait_for_count(p, question, 1, 5000)) << p.output;
        p.send("n\n");
        ASSERT_TRUE(wait_for_count(p, question, 2, 5000)) << p.output;
        p.send("n\n");
        ASSERT_EQ(p.wait_exit(5000), 0) << p.output;
        EXPECT_EQ(p.output, shown(n2, "", "Second.") + question + "n\r\n" + asked_again(1) +
                                shown(n3, "", "Third.") + question + "n\r\n" + asked_again(1) +
                                count_line(1));
    }
    {
        pty_process p = start_prompt();
        ASSERT_EQ(p.wait_exit(5000), 0);
        EXPECT_EQ(p.output, count_line(3));
    }

    // A full interval later a message is due again; ten seconds short of it,
    // it is not.
    age(box("state", n2, ".term"), 60);
    age(box("state", n3, ".term"), 50);
    {
        pty_process p = start_prompt();
        ASSERT_TRUE(p.wait_for(question, 5000)) << p.output;
        p.send("y\n");
        ASSERT_EQ(p.wait_exit(5000), 0) << p.output;
        EXPECT_EQ(p.output, shown(n2, "", "Second.") + question + "y\r\n" + confirmed + count_line(2));
    }
    // Confirming drops the message's markers with it.
    EXPECT_FALSE(exists(box("state", n2, ".term")));
    EXPECT_TRUE(exists(box("state", n3, ".term")));
}

TEST_F(Prompt, ALoginRunAsksAboutEveryPendingMessage)
{
    configure(1);
    int64_t n1 = send_message({"--to", "alice", "--title", "One", "First."});
    int64_t n2 = send_message({"--to", "alice", "--title", "Two", "Second."});
    {
        pty_process p = start_prompt();
        ASSERT_TRUE(p.wait_for(question, 5000)) << p.output;
        p.send("n\n");
        ASSERT_TRUE(wait_for_count(p, question, 2, 5000)) << p.output;
        p.send("n\n");
        ASSERT_EQ(p.wait_exit(5000), 0) << p.output;
    }
    {
        pty_process p = start_prompt(true);
        ASSERT_TRUE(wait_for_count(p, question, 1, 5000)) << p.output;
        p.send("y\n");
        ASSERT_TRUE(wait_for_count(p, question, 2, 5000)) << p.output;
        p.send("n\n");
        ASSERT_EQ(p.wait_exit(5000), 0) << p.output;
        EXPECT_EQ(p.output, shown(n1, "One", "First.") + question + "y\r\n" + confirmed +
                                shown(n2, "Two", "Second.") + question + "n\r\n" + asked_again(1));
    }
    EXPECT_TRUE(exists(box("acks", n1)));
    EXPECT_EQ(events("POSTPONED", n2).size(), 2u);
    {
        pty_process p = start_prompt();
        ASSERT_EQ(p.wait_exit(5000), 0);
        EXPECT_EQ(p.output, count_line(1));
    }
}

TEST_F(Prompt, WithoutATerminalOnStandardInputNothingHappens)
{
    int64_t n = send_message({"--to", "alice", "Hello."});

    run_result plain = run_as("alice", {helper, "prompt"});
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.out, "");
    EXPECT_EQ(plain.err, "");

    run_options typed;
    typed.input = "y\n";
    typed.has_input = true;
    run_result login = run_as("alice", {helper, "prompt", "--login"}, typed);
    EXPECT_EQ(login.status, 0);
    EXPECT_EQ(login.out, "");
    EXPECT_EQ(login.err, "");

    // Also with a controlling terminal that could be asked.
    pty_process p = spawn_on_pty(
        "alice", {"sh", "-c", helper + " prompt --login < /etc/hostname; echo \"status $?\""});
    EXPECT_EQ(p.wait_exit(5000), 0);
    EXPECT_EQ(p.output, "status 0\r\n");

    EXPECT_EQ(list_dir(box("inbox")), std::vector<std::string>{std::to_string(n)});
    EXPECT_EQ(list_dir(box("acks")), std::vector<std::string>{});
    EXPECT_EQ(list_dir(box("state")), std::vector<std::string>{});
    EXPECT_EQ(list_dir(box("read")), std::vector<std::string>{});
    EXPECT_TRUE(events("POSTPONED").empty());
    EXPECT_TRUE(events("CONFIRMED").empty());
}

TEST_F(Prompt, ATerminalThatCannotBeAskedCountsAsPostponed)
{
    // Standard input is alice's terminal, but the helper has no controlling
    // terminal to read the answer from.
    int64_t n = send_message({"--to", "alice", "Hello."});
    test_pty t = open_pty_for("alice");
    run_options o;
    o.env = user_env();
    run_result r = run_as("alice", {"sh", "-c", "exec " + helper + " prompt < " + t.slave_path}, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::string date = send_date(n);
    EXPECT_EQ(r.out, "\n── Kelvora · Message from the administrator · " + date + " ──\nHello.\n" +
                         rule + "\n" + question +
                         "[Kelvora] You will be asked again in 30 minutes.\n");
    EXPECT_TRUE(exists(box("state", n, ".term")));
    expect_one_event(events("POSTPONED", n), "terminal");
}

TEST_F(Prompt, AQuestionConfirmedElsewhereEndsWithinAboutASecond)
{
    int64_t n1 = send_message({"--to", "alice", "--title", "One", "First."});
    int64_t n2 = send_message({"--to", "alice", "--title", "Two", "Second."});
    pty_process a = start_prompt();
    pty_process b = start_prompt();
    ASSERT_TRUE(a.wait_for(question, 5000)) << a.output;
    ASSERT_TRUE(b.wait_for(question, 5000)) << b.output;

    // b confirms the first message while a still asks about it; a gives up
    // the question and goes on to the second.
    b.send("y\n");
    ASSERT_TRUE(b.wait_for(confirmed, 5000)) << b.output;
    int64_t done = monotonic_ms();
    ASSERT_TRUE(a.wait_for(elsewhere, 5000)) << a.output;
    EXPECT_LT(monotonic_ms() - done, 2500);
    ASSERT_TRUE(wait_for_count(a, question, 2, 5000)) << a.output;
    ASSERT_TRUE(wait_for_count(b, question, 2, 5000)) << b.output;

    // The other way round for the second.
    a.send("y\n");
    ASSERT_TRUE(wait_for_count(a, confirmed, 1, 5000)) << a.output;
    done = monotonic_ms();
    ASSERT_EQ(b.wait_exit(5000), 0) << b.output;
    EXPECT_LT(monotonic_ms() - done, 2500);
    ASSERT_EQ(a.wait_exit(5000), 0) << a.output;

    std::string first = shown(n1, "One", "First."), second = shown(n2, "Two", "Second.");
    EXPECT_EQ(a.output, first + question + elsewhere + second + question + "y\r\n" + confirmed);
    EXPECT_EQ(b.output, first + question + "y\r\n" + confirmed + second + question + elsewhere);
    for (auto [n, by] : {std::pair{n1, &b}, std::pair{n2, &a}}) {
        SCOPED_TRACE(n);
        expect_one_event(events("CONFIRMED", n), channel_of(*by));
        EXPECT_EQ(read_text(box("acks", n)).substr(read_text(box("acks", n)).find(' ')),
                  " " + channel_of(*by) + "\n");
        EXPECT_TRUE(exists(box("read", n)));
        EXPECT_FALSE(exists(box("inbox", n)));
    }
}

TEST_F(Prompt, ARevokedQuestionEndsWithinAboutASecondAndLeavesTheCopyAlone)
{
    int64_t n = send_message({"--to", "alice", "Wrong date, ignore."});
    pty_process p = start_prompt();
    ASSERT_TRUE(p.wait_for(question, 5000)) << p.output;
    revoke_message(n);
    int64_t done = monotonic_ms();
    ASSERT_EQ(p.wait_exit(5000), 0) << p.output;
    EXPECT_LT(monotonic_ms() - done, 2500);
    EXPECT_EQ(p.output, shown(n, "", "Wrong date, ignore.") + question + revoked);
    EXPECT_FALSE(exists(box("inbox", n)));
    EXPECT_FALSE(exists(box("read", n)));
    EXPECT_FALSE(exists(box("acks", n)));
    EXPECT_TRUE(events("CONFIRMED", n).empty());
    EXPECT_TRUE(events("POSTPONED", n).empty());
}

TEST_F(Prompt, AnExpiringQuestionEndsWithinAboutASecondAndIsArchived)
{
    int64_t expiry = time(nullptr) + 2;
    int64_t n = send_message({"--to", "alice", "--expires", "@" + std::to_string(expiry), "Soon gone."});
    pty_process p = start_prompt();
    ASSERT_TRUE(p.wait_for(question, 5000)) << p.output;
    ASSERT_TRUE(p.wait_for(expired, 8000)) << p.output;
    int64_t seen = realtime_usec();
    EXPECT_GE(seen, expiry * 1000000);
    EXPECT_LT(seen, expiry * 1000000 + 2500000);
    ASSERT_EQ(p.wait_exit(5000), 0) << p.output;
    EXPECT_EQ(p.output, shown(n, "", "Soon gone.") + question + expired);
    EXPECT_FALSE(exists(box("inbox", n)));
    EXPECT_TRUE(exists(box("read", n)));
    EXPECT_FALSE(exists(box("acks", n)));
    EXPECT_TRUE(events("CONFIRMED", n).empty());
}

TEST_F(PromptRace, TwoHelpersConfirmingAtTheSameInstantRecordItOnce)
{
    // The confirm mode of a test-mode helper on the real mailbox and
    // journal: two of them started at the same instant, fifty times over.
    const int rounds = 50;
    std::vector<std::string> env = {"KELV_TEST=1", "KELV_VAR=/var/lib/kelvora"};
    for (int i = 0; i < rounds; i++) {
        int64_t n = send_message({"--to", "alice", "Race " + std::to_string(i)});
        std::string id = std::to_string(n);
        std::vector<int> statuses = run_together(
            "alice", {{helper, "confirm", id, "racer one"}, {helper, "confirm", id, "racer two"}},
            env);
        ASSERT_EQ(statuses, (std::vector<int>{0, 0})) << "round " << i;
    }

    std::map<std::string, std::vector<journal_entry>> by_message;
    for (journal_entry &e : events("CONFIRMED"))
        by_message[e.get("KELV_MESSAGE")].push_back(std::move(e));
    std::vector<std::string> numbers;
    for (int64_t n = 1; n <= rounds; n++) {
        SCOPED_TRACE(n);
        std::string id = std::to_string(n);
        numbers.push_back(id);
        ASSERT_EQ(by_message[id].size(), 1u);
        const journal_entry &e = by_message[id][0];
        EXPECT_EQ(e.get("_UID"), "1001");
        // The record is the winner's, the one that logged.
        std::string record = read_text(box("acks", n));
        EXPECT_EQ(record.substr(record.find(' ')), " " + e.get("KELV_CHANNEL") + "\n");
        EXPECT_TRUE(exists(box("read", n)));
    }
    std::sort(numbers.begin(), numbers.end());
    EXPECT_EQ(list_dir(box("acks")), numbers); // no temporary file left
    EXPECT_EQ(list_dir(box("inbox")), std::vector<std::string>{});
    EXPECT_TRUE(events("CONFIRMATION_FAILED").empty());
}

TEST_F(PromptRace, TwoPromptsAnsweredAtTheSameInstantRecordItOnce)
{
    const int rounds = 20;
    for (int i = 0; i < rounds; i++) {
        SCOPED_TRACE(i);
        int64_t n = send_message({"--to", "alice", "Race " + std::to_string(i)});
        pty_process a = start_prompt();
        pty_process b = start_prompt();
        ASSERT_TRUE(a.wait_for(question, 5000)) << a.output;
        ASSERT_TRUE(b.wait_for(question, 5000)) << b.output;
        a.send("y\n");
        b.send("y\n");
        ASSERT_EQ(a.wait_exit(5000), 0) << a.output;
        ASSERT_EQ(b.wait_exit(5000), 0) << b.output;
        // Each reports success: its own record or the other's found when it
        // wrote, or the other's seen while it waited (the answer was typed,
        // and echoed, all the same).
        int said = 0;
        for (const pty_process *p : {&a, &b}) {
            std::string tail = p->output.substr(p->output.find(question) + question.size());
            EXPECT_TRUE(tail == "y\r\n" + confirmed || tail == "y\r\n" + elsewhere) << tail;
            said += tail == "y\r\n" + confirmed;
        }
        EXPECT_GE(said, 1);
        std::vector<journal_entry> found = events("CONFIRMED", n);
        ASSERT_EQ(found.size(), 1u);
        std::string channel = found[0].get("KELV_CHANNEL");
        EXPECT_TRUE(channel == channel_of(a) || channel == channel_of(b)) << channel;
        std::string record = read_text(box("acks", n));
        EXPECT_EQ(record.substr(record.find(' ')), " " + channel + "\n");
        EXPECT_EQ(list_dir(box("acks")).size(), size_t(i + 1));
    }
}

// A helper that looked for the record just before another one wrote it, and
// then finds the copy gone, must see the other's confirmation, not a
// revocation. strace holds the first helper's look at the record back while
// the second confirms, which opens that window every time.
TEST_F(PromptRace, AConfirmationSlowerByOneLookStillSucceeds)
{
    ASSERT_EQ(run_program({"sh", "-c", "command -v strace"}).status, 0) << "strace is needed";
    int64_t n = send_message({"--to", "alice", "Race."});
    std::string record = box("acks", n);
    run_options o;
    o.env = {"KELV_TEST=1", "KELV_VAR=/var/lib/kelvora"};
    // A sanitized build's leak check cannot run under a tracer.
    std::vector<std::string> traced_env = o.env;
    traced_env.push_back("ASAN_OPTIONS=detect_leaks=0");
    pty_process slow = spawn_on_pty(
        "alice",
        {"strace", "-o", "/dev/null", "-P", record, "-e", "inject=newfstatat:delay_exit=800000:when=1",
         helper, "confirm", std::to_string(n), "slow"},
        traced_env);
    usleep(300000);
    EXPECT_EQ(run_as("alice", {helper, "confirm", std::to_string(n), "fast"}, o).status, 0);
    EXPECT_EQ(slow.wait_exit(5000), 0) << slow.output;
    EXPECT_EQ(read_text(record).substr(read_text(record).find(' ')), " fast\n");
    EXPECT_EQ(events("CONFIRMED", n).size(), 1u);
}

TEST_F(PromptRace, AQuestionWhoseLookRacesAConfirmationSaysConfirmedNotRevoked)
{
    ASSERT_EQ(run_program({"sh", "-c", "command -v strace"}).status, 0) << "strace is needed";
    int64_t n = send_message({"--to", "alice", "Race."});
    std::string record = box("acks", n);
    // Every look at the record takes 800 ms longer: the first one while the
    // question waits spans from one second after the question to 1.8 s.
    pty_process p = spawn_on_pty("alice",
                                 {"strace", "-o", "/dev/null", "-P", record, "-e",
                                  "inject=newfstatat:delay_exit=800000", helper, "prompt"},
                                 user_env({"ASAN_OPTIONS=detect_leaks=0"}));
    ASSERT_TRUE(p.wait_for(question, 5000)) << p.output;
    usleep(1400000);
    run_options o;
    o.env = {"KELV_TEST=1", "KELV_VAR=/var/lib/kelvora"};
    EXPECT_EQ(run_as("alice", {helper, "confirm", std::to_string(n), "elsewhere"}, o).status, 0);
    ASSERT_EQ(p.wait_exit(8000), 0) << p.output;
    EXPECT_EQ(p.output, shown(n, "", "Race.") + question + elsewhere);
}

// With two terminals, one prompt may confirm and archive the copy that the
// other has just listed. The other must neither ask about a message it can
// no longer show nor record a postponement of a confirmed one.
TEST_F(PromptRace, AMessageSettledInAnotherTerminalIsNeitherAskedWithoutItsTextNorPutOff)
{
    ASSERT_EQ(run_program({"sh", "-c", "command -v strace"}).status, 0) << "strace is needed";
    run_options o;
    o.env = {"KELV_TEST=1", "KELV_VAR=/var/lib/kelvora"};
    int64_t n = send_message({"--to", "alice", "Race."});
    // The prompt's second look into the copy (the first is the listing's
    // expiry check) waits while the other terminal confirms.
    std::string copy = box("inbox", n);
    pty_process p = spawn_on_pty("alice",
                                 {"strace", "-o", "/dev/null", "-P", copy, "-e", "trace=openat", "-e",
                                  "inject=openat:delay_enter=1500000:when=2", helper, "prompt"},
                                 user_env({"ASAN_OPTIONS=detect_leaks=0"}));
    usleep(700000);
    EXPECT_EQ(run_as("alice", {helper, "confirm", std::to_string(n), "elsewhere"}, o).status, 0);
    ASSERT_EQ(p.wait_exit(8000), 0) << p.output;
    EXPECT_EQ(p.output, "");

    // Confirmed elsewhere between the question and a "no".
    n = send_message({"--to", "alice", "Race again."});
    pty_process q = start_prompt();
    ASSERT_TRUE(q.wait_for(question, 5000)) << q.output;
    EXPECT_EQ(run_as("alice", {helper, "confirm", std::to_string(n), "elsewhere"}, o).status, 0);
    q.send("n\n");
    ASSERT_EQ(q.wait_exit(5000), 0) << q.output;
    EXPECT_EQ(q.output, shown(n, "", "Race again.") + question + "n\r\n" + elsewhere.substr(2));
    EXPECT_FALSE(exists(box("state", n) + ".term"));
    EXPECT_TRUE(events("POSTPONED").empty());
}
