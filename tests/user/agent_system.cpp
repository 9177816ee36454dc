// The desktop agent of kelvora-user for real: the installed helper runs as
// alice in a graphical login session (a session file, as logind keeps
// them), started directly or by the installed kelv through the systemd-run
// stand-in. Its dialogs are the zenity stand-in, which logs its arguments
// and answers what the test writes, and once the real zenity under Xvfb.
#include "helper_system.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

using namespace helper_system;

namespace {

class Agent : public helper_test {
  protected:
    // Waits for the CONFIRMED event of message n, the last step of a
    // confirmation: record, archived copy and removed markers are all in
    // place by then.
    bool wait_confirmed(int64_t n)
    {
        return eventually([&] { return !events("CONFIRMED", n).empty(); }, 5000);
    }
};

const std::string log_dir = "/run/e2e/log";
const std::string calls_file = log_dir + "/zenity.calls";
const std::string answer_file = log_dir + "/answer.alice";
const std::string ready_file = "/run/user/1001/kelvora-agent.ready";
const std::string dialog_title = "Kelvora · Message from the administrator";

// A graphical session of alice's on display, as logind describes one.
void graphical_session(const std::string &display)
{
    session_write("2", {"UID=1001", "USER=alice", "ACTIVE=1", "STATE=active", "REMOTE=0",
                        "TYPE=x11", "CLASS=user", "TTY=tty2", "DISPLAY=" + display});
}

// The zenity call that shows message n.
std::string dialog_call(int64_t n, const std::string &title, const std::string &text)
{
    std::string heading = title.empty() ? send_date(n) : title + " · " + send_date(n);
    return "alice|--question|--no-markup|--width=460|--title=" + dialog_title + "|--text=" +
           heading + "\n\n" + text + "\n|--ok-label=I have read it|--cancel-label=Later|\n";
}

size_t dialogs_shown()
{
    return occurrences(read_text(calls_file), "alice|--question|");
}

bool wait_dialogs_shown(size_t count, int timeout_ms = 5000)
{
    return eventually([&] { return dialogs_shown() >= count; }, timeout_ms);
}

// Answers the open dialog as a button would: 0 "I have read it", 1 "Later".
void answer(int status)
{
    write_text(answer_file, std::to_string(status) + "\n", 0644);
}

char process_state(pid_t pid)
{
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : 0;
}

bool alive(pid_t pid)
{
    char state = process_state(pid);
    return state != 0 && state != 'Z';
}

pid_t parent_of(pid_t pid)
{
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    int parent = 0;
    if (paren == std::string::npos || sscanf(stat.c_str() + paren + 1, " %*c %d", &parent) != 1)
        return 0;
    return parent;
}

bool shows_dialog(pid_t pid)
{
    return read_text("/proc/" + std::to_string(pid) + "/cmdline")
                   .find(std::string("zenity\0--question", 17)) != std::string::npos &&
           alive(pid);
}

// The processes that show a dialog now, stand-in or real (not the stand-in's
// own short-lived children, which carry its command line until they exec).
std::vector<pid_t> open_dialogs()
{
    std::vector<pid_t> pids;
    for (const std::string &name : list_dir("/proc")) {
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        pid_t pid = static_cast<pid_t>(std::stol(name));
        if (shows_dialog(pid) && !shows_dialog(parent_of(pid)))
            pids.push_back(pid);
    }
    return pids;
}

bool dialog_closed(int timeout_ms)
{
    return eventually([] { return open_dialogs().empty(); }, timeout_ms);
}

// The agent started directly as alice, as her session's service manager
// would, with extra environment; returns once its ready file names it.
pty_process start_agent(const std::vector<std::string> &env)
{
    std::vector<std::string> all = {"NO_AT_BRIDGE=1"};
    all.insert(all.end(), env.begin(), env.end());
    pty_process p = spawn_on_pty("alice", {helper, "agent"}, user_env(all));
    std::string want = std::to_string(p.pid) + "\n";
    if (!eventually([&] { return read_text(ready_file) == want; }, 5000))
        throw std::runtime_error("the agent wrote no ready file: " + p.output);
    return p;
}

// The agent on the environment's X display, in a session there.
pty_process start_agent_on_x()
{
    std::string display = start_xvfb();
    graphical_session(display);
    return start_agent({"DISPLAY=" + display});
}

// Stops the agent as its session's end would, and returns its status.
int stop_agent(pty_process &p)
{
    kill(p.pid, SIGTERM);
    return p.wait_exit(6000);
}

// An X display number that nobody on this machine serves.
int unused_display()
{
    std::string sockets = read_text("/proc/net/unix");
    for (int d = 150; d < 250; d++) {
        std::string name = "/tmp/.X11-unix/X" + std::to_string(d);
        if (sockets.find("@" + name + "\n") == std::string::npos && !exists(name))
            return d;
    }
    throw std::runtime_error("no free X display number");
}

// A listening Unix socket at path for the scope, which any user may connect
// to: as much of a display server as the agent's reachability test sees.
struct fake_display {
    int fd = -1;
    std::string path;
    explicit fake_display(const std::string &p) : path(p)
    {
        mkdir("/tmp/.X11-unix", 01777);
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 ||
            listen(fd, 8) < 0 || chmod(path.c_str(), 0777) < 0)
            throw std::runtime_error("cannot listen on " + path);
    }
    ~fake_display()
    {
        close(fd);
        unlink(path.c_str());
    }
};

} // namespace

TEST_F(Agent, ShowsEachPendingMessageAndConfirmsOnTheDesktop)
{
    // Sent before the session exists: nobody starts an agent for them.
    int64_t n1 = send_message({"--to", "alice", "--title", "Desk", "First."});
    int64_t n2 = send_message({"--to", "alice", "Second,\nin two lines."});
    pty_process agent = start_agent_on_x();

    ASSERT_TRUE(wait_dialogs_shown(1)) << agent.output;
    EXPECT_EQ(read_text(calls_file), dialog_call(n1, "Desk", "First."));
    int64_t before = time(nullptr);
    answer(0);
    ASSERT_TRUE(wait_dialogs_shown(2)) << agent.output;
    int64_t after = time(nullptr);
    EXPECT_EQ(read_text(calls_file),
              dialog_call(n1, "Desk", "First.") + dialog_call(n2, "", "Second,\nin two lines."));
    answer(0);
    ASSERT_TRUE(wait_confirmed(n2));

    std::string record = read_text(box("acks", n1));
    ASSERT_NE(record.find(' '), std::string::npos) << record;
    EXPECT_GE(std::stoll(record), before);
    EXPECT_LE(std::stoll(record), after);
    EXPECT_EQ(record.substr(record.find(' ')), " desktop\n");
    for (int64_t n : {n1, n2}) {
        SCOPED_TRACE(n);
        EXPECT_TRUE(exists(box("read", n)));
        EXPECT_FALSE(exists(box("inbox", n)));
        std::vector<journal_entry> confirmed = events("CONFIRMED", n);
        ASSERT_EQ(confirmed.size(), 1u);
        EXPECT_EQ(confirmed[0].get("KELV_CHANNEL"), "desktop");
        EXPECT_EQ(confirmed[0].get("KELV_USER"), "alice");
        EXPECT_EQ(confirmed[0].get("_UID"), "1001");
    }

    // Idle between passes, and it ends cleanly when told to.
    EXPECT_TRUE(alive(agent.pid));
    EXPECT_EQ(stop_agent(agent), 0) << agent.output;
    EXPECT_FALSE(exists(ready_file));
    EXPECT_EQ(agent.output, "");
}

TEST_F(Agent, LaterKeepsAMessageOffTheDesktopForTheRemindInterval)
{
    configure(1, 600);
    int64_t n1 = send_message({"--to", "alice", "First."});
    // Put off at a terminal: that does not silence the desktop.
    {
        pty_process p = spawn_on_pty("alice", {helper, "prompt"}, user_env());
        ASSERT_TRUE(p.wait_for(question, 5000)) << p.output;
        p.send("n\n");
        ASSERT_EQ(p.wait_exit(5000), 0);
    }
    pty_process agent = start_agent_on_x();
    ASSERT_TRUE(wait_dialogs_shown(1));
    int64_t before = time(nullptr);
    answer(1);
    ASSERT_TRUE(eventually([&] { return exists(box("state", n1, ".gui")); }, 5000));
    int64_t touched = mtime_of(box("state", n1, ".gui"));
    EXPECT_GE(touched, before);
    EXPECT_LE(touched, time(nullptr));
    ASSERT_TRUE(eventually([&] { return events("POSTPONED", n1).size() == 2; }, 5000));
    std::vector<journal_entry> postponed = events("POSTPONED", n1);
    EXPECT_EQ(postponed[0].get("KELV_CHANNEL"), "terminal");
    EXPECT_EQ(postponed[1].get("KELV_CHANNEL"), "desktop");
    EXPECT_EQ(postponed[1].get("_UID"), "1001");
    EXPECT_TRUE(exists(box("inbox", n1)));
    EXPECT_FALSE(exists(box("acks", n1)));

    // A new message wakes the agent (kelv finds it through its ready file,
    // no second one is started): its pass shows the new message only.
    int64_t n2 = send_message({"--to", "alice", "Second."});
    ASSERT_TRUE(wait_dialogs_shown(2));
    EXPECT_EQ(read_text(calls_file), dialog_call(n1, "", "First.") + dialog_call(n2, "", "Second."));
    EXPECT_FALSE(exists(log_dir + "/systemd-run.calls"));
    answer(0);
    ASSERT_TRUE(wait_confirmed(n2));
    usleep(300000);
    EXPECT_EQ(dialogs_shown(), 2u);

    // Once the interval has passed, a wake-up brings it back at once.
    age(box("state", n1, ".gui"), 60);
    int64_t woken = monotonic_ms();
    kill(agent.pid, SIGUSR1);
    ASSERT_TRUE(wait_dialogs_shown(3));
    EXPECT_LT(monotonic_ms() - woken, 2500);
    answer(0);
    ASSERT_TRUE(wait_confirmed(n1));
    EXPECT_FALSE(exists(box("state", n1, ".gui")));
    EXPECT_FALSE(exists(box("state", n1, ".term")));
}

TEST_F(Agent, ADialogThatEndsWithoutAnAnswerRecordsNothing)
{
    configure(0, 600);
    int64_t n = send_message({"--to", "alice", "Hello."});
    pty_process agent = start_agent_on_x();

    // Killed, then failing with a status of its own: nothing either time,
    // and the message comes back at the next pass.
    ASSERT_TRUE(wait_dialogs_shown(1));
    std::vector<pid_t> dialogs = open_dialogs();
    ASSERT_EQ(dialogs.size(), 1u);
    kill(dialogs[0], SIGKILL);
    ASSERT_TRUE(dialog_closed(2000));
    usleep(300000);
    kill(agent.pid, SIGUSR1);
    ASSERT_TRUE(wait_dialogs_shown(2));
    answer(5);
    ASSERT_TRUE(dialog_closed(2000));
    usleep(300000);
    EXPECT_EQ(list_dir(box("acks")), std::vector<std::string>{});
    EXPECT_EQ(list_dir(box("state")), std::vector<std::string>{});
    EXPECT_TRUE(exists(box("inbox", n)));
    EXPECT_TRUE(events("POSTPONED", n).empty());
    EXPECT_TRUE(events("CONFIRMED", n).empty());
    EXPECT_TRUE(events("CONFIRMATION_FAILED", n).empty());

    kill(agent.pid, SIGUSR1);
    ASSERT_TRUE(wait_dialogs_shown(3));
    answer(0);
    ASSERT_TRUE(wait_confirmed(n));
    EXPECT_TRUE(alive(agent.pid));
}

TEST_F(Agent, ASecondAgentEndsAtOnceAndLeavesTheFirstAlone)
{
    pty_process first = start_agent_on_x();
    std::string ready = read_text(ready_file);
    run_options o;
    o.env = user_env({"DISPLAY=" + start_xvfb()});
    o.timeout_seconds = 10;
    int64_t started = monotonic_ms();
    run_result second = run_as("alice", {helper, "agent"}, o);
    EXPECT_LT(monotonic_ms() - started, 2000);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(read_text(ready_file), ready);
    EXPECT_TRUE(alive(first.pid));
}

TEST_F(Agent, StoppingDuringADialogGivesTheUserTwoSeconds)
{
    // Nobody answers: the dialog closes about 2 seconds later, nothing is
    // recorded, and the agent ends cleanly.
    int64_t n = send_message({"--to", "alice", "Ignored."});
    {
        pty_process agent = start_agent_on_x();
        ASSERT_TRUE(wait_dialogs_shown(1));
        int64_t stopped = monotonic_ms();
        kill(agent.pid, SIGTERM);
        ASSERT_EQ(agent.wait_exit(6000), 0) << agent.output;
        int64_t took = monotonic_ms() - stopped;
        EXPECT_GE(took, 1000);
        EXPECT_LE(took, 4000);
        EXPECT_TRUE(open_dialogs().empty());
        EXPECT_FALSE(exists(ready_file));
        EXPECT_EQ(list_dir(box("acks")), std::vector<std::string>{});
        EXPECT_EQ(list_dir(box("state")), std::vector<std::string>{});
        EXPECT_TRUE(events("POSTPONED", n).empty());
    }
    // "Later" in that time is not recorded...
    {
        pty_process agent = start_agent_on_x();
        ASSERT_TRUE(wait_dialogs_shown(2));
        kill(agent.pid, SIGTERM);
        usleep(200000);
        answer(1);
        ASSERT_EQ(agent.wait_exit(6000), 0) << agent.output;
        EXPECT_EQ(list_dir(box("state")), std::vector<std::string>{});
        EXPECT_TRUE(events("POSTPONED", n).empty());
    }
    // ... but a confirmation is.
    {
        pty_process agent = start_agent_on_x();
        ASSERT_TRUE(wait_dialogs_shown(3));
        kill(agent.pid, SIGTERM);
        usleep(200000);
        answer(0);
        ASSERT_EQ(agent.wait_exit(6000), 0) << agent.output;
        EXPECT_TRUE(exists(box("acks", n)));
        EXPECT_EQ(events("CONFIRMED", n).size(), 1u);
        EXPECT_FALSE(exists(ready_file));
    }
}

TEST_F(Agent, ADialogWhoseQuestionIsSettledElsewhereClosesByItself)
{
    configure(0, 600);
    int64_t n1 = send_message({"--to", "alice", "Read me at a terminal."});
    pty_process agent = start_agent_on_x();

    // Confirmed at a terminal.
    ASSERT_TRUE(wait_dialogs_shown(1));
    pty_process prompt = spawn_on_pty("alice", {helper, "prompt"}, user_env());
    ASSERT_TRUE(prompt.wait_for(question, 5000)) << prompt.output;
    prompt.send("y\n");
    ASSERT_EQ(prompt.wait_exit(5000), 0) << prompt.output;
    int64_t settled = monotonic_ms();
    ASSERT_TRUE(dialog_closed(3000));
    EXPECT_LT(monotonic_ms() - settled, 2500);
    std::vector<journal_entry> confirmed = events("CONFIRMED", n1);
    ASSERT_EQ(confirmed.size(), 1u);
    EXPECT_EQ(confirmed[0].get("KELV_CHANNEL"), "terminal " + prompt.tty.substr(5));
    usleep(300000);
    EXPECT_EQ(events("CONFIRMED", n1).size(), 1u);
    EXPECT_TRUE(events("POSTPONED", n1).empty());

    // Revoked: the copy is left to the revocation.
    int64_t n2 = send_message({"--to", "alice", "Wrong, revoked."});
    ASSERT_TRUE(wait_dialogs_shown(2));
    revoke_message(n2);
    settled = monotonic_ms();
    ASSERT_TRUE(dialog_closed(3000));
    EXPECT_LT(monotonic_ms() - settled, 2500);
    usleep(300000);
    EXPECT_FALSE(exists(box("read", n2)));
    EXPECT_FALSE(exists(box("acks", n2)));

    // Expired: the copy is archived.
    int64_t expiry = time(nullptr) + 2;
    int64_t n3 = send_message({"--to", "alice", "--expires", "@" + std::to_string(expiry), "Brief."});
    ASSERT_TRUE(wait_dialogs_shown(3));
    ASSERT_TRUE(dialog_closed(8000));
    EXPECT_GE(realtime_usec(), expiry * 1000000);
    EXPECT_LT(realtime_usec(), expiry * 1000000 + 2500000);
    ASSERT_TRUE(eventually([&] { return exists(box("read", n3)); }, 2000));
    EXPECT_FALSE(exists(box("inbox", n3)));
    EXPECT_FALSE(exists(box("acks", n3)));

    // All the while one agent, woken by kelv each time.
    EXPECT_TRUE(alive(agent.pid));
    EXPECT_FALSE(exists(log_dir + "/systemd-run.calls"));
    for (int64_t n : {n2, n3})
        EXPECT_TRUE(events("CONFIRMED", n).empty());
}

TEST_F(Agent, WithoutAReachableDisplayNoDialogButTheAgentKeepsPolling)
{
    configure(0, 1);
    send_message({"--to", "alice", "Hello."});
    int display = unused_display();
    std::string name = ":" + std::to_string(display);
    graphical_session(name + ".0");
    pty_process agent = start_agent({"DISPLAY=" + name + ".0"});
    usleep(1500000);
    EXPECT_EQ(dialogs_shown(), 0u);
    EXPECT_TRUE(alive(agent.pid));

    // The display comes up: the next poll shows the message.
    {
        fake_display x("/tmp/.X11-unix/X" + std::to_string(display));
        ASSERT_TRUE(wait_dialogs_shown(1, 3000));
        answer(1);
        // "Later" counts only while the display is still there.
        ASSERT_TRUE(eventually([] { return exists(box("state", 1, ".gui")); }, 5000));
    }
    EXPECT_EQ(stop_agent(agent), 0);

    // Where a Wayland display is named, it is the only one tried.
    age(box("state", 1, ".gui"), 3600);
    graphical_session(start_xvfb());
    agent = start_agent({"DISPLAY=" + start_xvfb(), "WAYLAND_DISPLAY=wayland-kelvora"});
    usleep(1500000);
    EXPECT_EQ(dialogs_shown(), 1u);
    EXPECT_TRUE(alive(agent.pid));
    {
        fake_display wayland("/run/user/1001/wayland-kelvora");
        ASSERT_TRUE(wait_dialogs_shown(2, 3000));
    }
}

TEST_F(Agent, KelvStartsOneAgentInTheSessionAndWakesItAfterwards)
{
    configure(0, 600);
    graphical_session(start_xvfb());
    int64_t n1 = send_message({"--to", "alice", "First."});
    EXPECT_EQ(read_text(log_dir + "/systemd-run.calls"), "alice " + helper + " agent\n");
    ASSERT_TRUE(wait_dialogs_shown(1));
    EXPECT_EQ(read_text(calls_file), dialog_call(n1, "", "First."));
    answer(0);
    ASSERT_TRUE(wait_confirmed(n1));

    // The agent sleeps for ten minutes; the next message wakes it.
    std::string ready = read_text(ready_file);
    ASSERT_FALSE(ready.empty());
    int64_t n2 = send_message({"--to", "alice", "Second."});
    ASSERT_TRUE(wait_dialogs_shown(2, 3000));
    EXPECT_EQ(read_text(calls_file), dialog_call(n1, "", "First.") + dialog_call(n2, "", "Second."));
    answer(0);
    ASSERT_TRUE(wait_confirmed(n2));
    EXPECT_EQ(read_text(log_dir + "/systemd-run.calls"), "alice " + helper + " agent\n");
    EXPECT_EQ(read_text(ready_file), ready);
    EXPECT_EQ(events("CONFIRMED", n2)[0].get("KELV_CHANNEL"), "desktop");
}

TEST_F(Agent, AConfirmationThatCannotBeRecordedIsNotified)
{
    configure(0, 600);
    int64_t n = send_message({"--to", "alice", "Hello."});
    // alice may no longer write confirmation records.
    ASSERT_EQ(chmod(box("acks").c_str(), 0555), 0);
    pty_process agent = start_agent_on_x();
    ASSERT_TRUE(wait_dialogs_shown(1));
    answer(0);
    ASSERT_TRUE(eventually([] { return exists(log_dir + "/notify-send.calls"); }, 5000));
    EXPECT_EQ(read_text(log_dir + "/notify-send.calls"),
              "alice|-a|Kelvora|Kelvora · Confirmation not recorded|The confirmation could not be "
              "recorded: the message will be shown again.|\n");
    std::vector<journal_entry> failed = events("CONFIRMATION_FAILED", n);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].get("KELV_CHANNEL"), "desktop");
    EXPECT_EQ(failed[0].get("KELV_DETAILS"), "Permission denied");
    EXPECT_TRUE(exists(box("inbox", n)));
    EXPECT_TRUE(events("CONFIRMED", n).empty());

    // The message is shown again at the next pass.
    ASSERT_EQ(chmod(box("acks").c_str(), 0755), 0);
    kill(agent.pid, SIGUSR1);
    ASSERT_TRUE(wait_dialogs_shown(2));
    answer(0);
    ASSERT_TRUE(wait_confirmed(n));
    EXPECT_EQ(events("CONFIRMED", n).size(), 1u);
}

TEST_F(Agent, TheRealDialogClosesWhenTheMessageIsConfirmedAtATerminal)
{
    std::string display = start_xvfb();
    write_text(log_dir + "/real-zenity", "", 0644);
    int64_t n = send_message({"--to", "alice", "--title", "Smoke", "Shown by the real dialog."});
    pty_process agent = start_agent_on_x();

    run_options x;
    x.env = {"DISPLAY=" + display};
    x.timeout_seconds = 30;
    run_result found = run_program(
        {"timeout", "20", "xdotool", "search", "--sync", "--name", "^" + dialog_title + "$"}, x);
    ASSERT_EQ(found.status, 0) << found.err;
    EXPECT_FALSE(found.out.empty());
    EXPECT_EQ(open_dialogs().size(), 1u);

    pty_process prompt = spawn_on_pty("alice", {helper, "prompt"}, user_env());
    ASSERT_TRUE(prompt.wait_for(question, 5000)) << prompt.output;
    prompt.send("y\n");
    ASSERT_EQ(prompt.wait_exit(5000), 0) << prompt.output;
    EXPECT_TRUE(dialog_closed(3000));
    EXPECT_TRUE(eventually(
        [&] { return run_program({"xdotool", "search", "--name", "^" + dialog_title + "$"}, x).status != 0; },
        3000));
    std::vector<journal_entry> confirmed = events("CONFIRMED", n);
    ASSERT_EQ(confirmed.size(), 1u);
    EXPECT_EQ(confirmed[0].get("KELV_CHANNEL"), "terminal " + prompt.tty.substr(5));
    EXPECT_TRUE(alive(agent.pid));

    // The next message (kelv wakes the agent for it) is confirmed in the
    // dialog itself: Return presses "I have read it".
    int64_t next = send_message({"--to", "alice", "Confirmed in the dialog."});
    found = run_program(
        {"timeout", "20", "xdotool", "search", "--sync", "--name", "^" + dialog_title + "$"}, x);
    ASSERT_EQ(found.status, 0) << found.err;
    std::string window = found.out.substr(0, found.out.find('\n'));
    run_result key = run_program({"xdotool", "windowfocus", "--sync", window, "key", "Return"}, x);
    EXPECT_EQ(key.status, 0) << key.err;
    ASSERT_TRUE(wait_confirmed(next));
    EXPECT_EQ(read_text(box("acks", next)).substr(read_text(box("acks", next)).find(' ')),
              " desktop\n");
    EXPECT_TRUE(dialog_closed(3000));
}

TEST_F(Agent, WithoutARuntimeDirectoryItsOwnUnderRunUserServesNotTheSharedTmp)
{
    // bob holds a lock file where an agent without XDG_RUNTIME_DIR used to
    // look for its own, and keeps it.
    pty_process holder = spawn_on_pty("bob", {"flock", "/tmp/kelvora-agent.lock", "sleep", "60"});
    ASSERT_TRUE(eventually([] { return exists("/tmp/kelvora-agent.lock"); }, 5000));
    int64_t n = send_message({"--to", "alice", "Hello."});
    std::string display = start_xvfb();
    graphical_session(display);
    pty_process agent = start_agent({"DISPLAY=" + display, "XDG_RUNTIME_DIR"});
    ASSERT_TRUE(wait_dialogs_shown(1));
    answer(0);
    ASSERT_TRUE(wait_confirmed(n));
    EXPECT_FALSE(exists("/tmp/kelvora-agent.ready")); // start_agent found it in /run/user/1001
    EXPECT_EQ(stop_agent(agent), 0);
}

TEST_F(Agent, ANotificationThatNeverEndsKeepsTheAgentNeitherBusyNorRunning)
{
    mkdir("/run/e2e/hangbin", 0755);
    write_text("/run/e2e/hangbin/notify-send", "#!/bin/sh\nexec sleep 1000\n", 0755);
    int64_t n = send_message({"--to", "alice", "Hello."});
    ASSERT_EQ(chmod(box("acks").c_str(), 0555), 0); // the confirmation cannot be recorded
    std::string display = start_xvfb();
    graphical_session(display);
    pty_process agent = start_agent(
        {"DISPLAY=" + display, "PATH=/run/e2e/hangbin:/run/e2e/bin:/usr/local/bin:/usr/bin:/bin"});
    ASSERT_TRUE(wait_dialogs_shown(1));
    answer(0);
    ASSERT_TRUE(eventually([&] { return !events("CONFIRMATION_FAILED", n).empty(); }, 5000));
    usleep(300000); // the notification has started by now
    int64_t asked = monotonic_ms();
    EXPECT_EQ(stop_agent(agent), 0);
    EXPECT_LT(monotonic_ms() - asked, 3000);
    EXPECT_TRUE(run_program({"pgrep", "-u", "alice", "-x", "sleep"}).out.empty()) << "the notification lives on";
}
