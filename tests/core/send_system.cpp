// kelv send as root outside test mode, to real accounts, onto their real
// pseudo-terminals, with its events in the real journal.
#include "core/core.h"
#include "system.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {

const std::string kelv = "/usr/local/bin/kelv";

// The journal outlives each test and message numbers start again at 1:
// only entries written since the test began are looked at.
uint64_t test_start_usec;

class Send : public system_test {
  protected:
    void SetUp() override
    {
        system_test::SetUp();
        timespec t;
        clock_gettime(CLOCK_REALTIME, &t);
        test_start_usec = static_cast<uint64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
    }
};

std::vector<journal_entry> events_of(long long n, std::vector<std::string> matches = {})
{
    matches.push_back("SYSLOG_IDENTIFIER=kelv");
    matches.push_back("KELV_MESSAGE=" + std::to_string(n));
    std::vector<journal_entry> out;
    for (journal_entry &e : journal_read(matches))
        if (e.realtime_usec >= test_start_usec)
            out.push_back(e);
    return out;
}

run_result root_kelv(std::vector<std::string> args)
{
    args.insert(args.begin(), kelv);
    run_options o;
    o.env = {"TZ=UTC"};
    return run_program(args, o);
}

// What kelv itself wrote to standard error through sudo, which may add lines
// of its own ("unable to resolve host" where the host name does not resolve).
std::string kelv_lines(const std::string &err)
{
    std::string out;
    for (const std::string &line : lines(err))
        if (line.starts_with("kelv: "))
            out += line + "\n";
    return out;
}

std::string readlink_text(const std::string &path)
{
    char buf[256];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

double seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

std::string sent_file(long long n, const std::string &name)
{
    return "/var/lib/kelvora/sent/" + std::to_string(n) + "/" + name;
}

std::string inbox(const std::string &user, long long n)
{
    return "/var/lib/kelvora/users/" + user + "/inbox/" + std::to_string(n);
}

// "user count" of each delivery line, without the times.
std::string deliveries(long long n)
{
    std::string log = read_text(sent_file(n, "delivery")), out;
    char user[64];
    long long t;
    int count;
    for (size_t p = 0; p < log.size();) {
        size_t nl = log.find('\n', p);
        if (sscanf(log.substr(p, nl - p).c_str(), "%63s %lld %d", user, &t, &count) == 3)
            out += std::string(user) + " " + std::to_string(count) + "\n";
        p = nl == std::string::npos ? log.size() : nl + 1;
    }
    return out;
}

std::vector<std::string> kinds(long long n)
{
    std::vector<std::string> out;
    for (const journal_entry &e : events_of(n))
        out.push_back(e.get("KELV_EVENT") + " " + e.get("KELV_USER") + " " + e.get("KELV_DETAILS"));
    return out;
}

std::string banner_text(const std::string &heading, const std::string &text)
{
    return "\r\n── Kelvora · Message from the administrator · " + heading + " ──\r\n" + text +
           "\r\n────────────────────────────────────────\r\n";
}

// The terminal passes bytes unchanged, so that they can be compared exactly.
void raw_output(const test_pty &p)
{
    struct termios t;
    tcgetattr(p.slave, &t);
    t.c_oflag &= ~OPOST;
    tcsetattr(p.slave, TCSANOW, &t);
}

// A console of the user's: /dev/tty2 becomes a terminal of a devpts instance
// of its own, so that it is not also one of the /dev/pts terminals, as a text
// console is not. The mounts live in the test namespace only.
struct console {
    std::string dir = "/run/e2e/console";
    int master = -1;
    explicit console(uid_t uid)
    {
        mkdir(dir.c_str(), 0755);
        if (mount("devpts", dir.c_str(), "devpts", 0, "newinstance,ptmxmode=0666,mode=620") < 0)
            throw std::runtime_error("cannot mount a devpts instance");
        master = open((dir + "/ptmx").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        int number = -1, unlock = 0;
        if (master < 0 || ioctl(master, TIOCSPTLCK, &unlock) < 0 || ioctl(master, TIOCGPTN, &number) < 0)
            throw std::runtime_error("cannot open a console terminal");
        std::string slave = dir + "/" + std::to_string(number);
        int s = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        struct termios t;
        tcgetattr(s, &t);
        t.c_oflag &= ~OPOST;
        tcsetattr(s, TCSANOW, &t);
        close(s);
        chown(slave.c_str(), uid, 5);
        if (mount(slave.c_str(), "/dev/tty2", nullptr, MS_BIND, nullptr) < 0)
            throw std::runtime_error("cannot bind /dev/tty2");
    }
    ~console()
    {
        umount("/dev/tty2");
        close(master);
        umount(dir.c_str());
    }
    std::string read_available(int ms)
    {
        std::string out;
        struct pollfd p = {master, POLLIN, 0};
        while (poll(&p, 1, ms) > 0) {
            char buf[4096];
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0)
                break;
            out.append(buf, n);
            ms = 100;
        }
        return out;
    }
};

} // namespace

TEST_F(Send, ReachesMailboxesTerminalsAndTheJournalInOrder)
{
    test_pty a1 = open_pty_for("alice"), a2 = open_pty_for("alice");
    raw_output(a1);
    raw_output(a2);
    console tty2(1002);
    session_write("5", {"UID=1002", "USER=bob", "CLASS=user", "TYPE=tty", "TTY=tty2", "STATE=active"});
    run_result r = root_kelv({"send", "--to", "carol,bob,alice", "--title", "Maintenance", "Reboot", "at", "six."});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Message 1 sent to 3 users.\n");
    EXPECT_EQ(r.err, "");

    message m;
    ASSERT_EQ(message_read(sent_file(1, "msg").c_str(), m), 0);
    EXPECT_STREQ(m.from, "root");
    setenv("TZ", "UTC", 1);
    tzset();
    char when[32];
    format_time(m.date, when);
    std::string banner = banner_text(std::string("Maintenance · ") + when, "Reboot at six.");
    EXPECT_EQ(a1.read_available(500), banner);
    EXPECT_EQ(a2.read_available(500), banner);
    EXPECT_EQ(tty2.read_available(500), banner);

    for (const char *u : {"alice", "bob", "carol"})
        EXPECT_EQ(read_text(inbox(u, 1)), read_text(sent_file(1, "msg"))) << u;
    EXPECT_EQ(read_text(sent_file(1, "recipients")), "alice\nbob\ncarol\n");
    EXPECT_EQ(deliveries(1), "alice 2\nbob 1\ncarol 0\n");
    EXPECT_FALSE(exists(sent_file(1, "incomplete")));
    EXPECT_EQ(kinds(1), (std::vector<std::string>{"DELIVERED alice 2", "DELIVERED bob 1", "DELIVERED carol 0",
                                                  "SENT  alice bob carol"}));
    std::vector<journal_entry> sent = events_of(1, {"KELV_EVENT=SENT"});
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].get("KELV_AUTHOR"), "root");
    EXPECT_EQ(sent[0].get("_UID"), "0");
}

TEST_F(Send, AnAdministratorGoesThroughSudoAndSignsTheMessage)
{
    run_result r = run_as("alice", {"kelv", "send", "--to", "bob", "from alice"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Message 1 sent to 1 user.\n");
    message m;
    ASSERT_EQ(message_read(sent_file(1, "msg").c_str(), m), 0);
    EXPECT_STREQ(m.from, "alice");
    struct stat st;
    ASSERT_EQ(stat(sent_file(1, "msg").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u); // written by root, through sudo
    std::vector<journal_entry> sent = events_of(1, {"KELV_EVENT=SENT"});
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].get("KELV_AUTHOR"), "alice");
    EXPECT_EQ(sent[0].get("_UID"), "0");

    EXPECT_EQ(run_as("alice", {"kelv", "version"}).out, "Kelvora - Advanced Messaging System for Linux 0.2.0\n");
    r = run_as("bob", {"kelv", "send", "--to", "alice", "not allowed"});
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("sudo"), std::string::npos) << r.err;
    EXPECT_FALSE(exists("/var/lib/kelvora/sent/2"));
}

TEST_F(Send, TheFileIsReadWithTheRightsOfTheAdministratorWhoCalledSudo)
{
    // alice may run kelv through sudo, not read root's files.
    run_as("alice", {"ln", "-s", "/etc/shadow", "/home/alice/notes"});
    for (const std::string &path : {std::string("/etc/shadow"), std::string("/home/alice/notes")}) {
        run_result r = run_as("alice", {"kelv", "send", "--to", "bob", "--file", path});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(kelv_lines(r.err), "kelv: " + path + ": Permission denied\n");
        EXPECT_FALSE(exists("/var/lib/kelvora/sent/1/msg"));
    }
    run_result dir = run_as("alice", {"kelv", "send", "--to", "bob", "--file", "/etc"});
    EXPECT_EQ(kelv_lines(dir.err), "kelv: /etc: Is a directory\n");
    run_as("alice", {"sh", "-c", "echo 'From my notes.' > /home/alice/mine"});
    run_result r = run_as("alice", {"kelv", "send", "--to", "bob", "--file", "/home/alice/mine"});
    ASSERT_EQ(r.status, 0) << r.err;
    message m;
    ASSERT_EQ(message_read(sent_file(1, "msg").c_str(), m), 0);
    EXPECT_STREQ(m.text, "From my notes.\n");
    // Root itself reads as root.
    r = root_kelv({"send", "--to", "bob", "--file", "/etc/hostname"});
    EXPECT_EQ(r.status, 0) << r.err;
    // An account that sudo names but that is gone gets nothing read as root.
    run_options gone;
    gone.env = {"SUDO_USER=ghost", "SUDO_UID=4242"};
    r = run_program({"/usr/local/bin/kelv", "send", "--to", "bob", "--file", "/etc/shadow"}, gone);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kelv: /etc/shadow: the account that called sudo (ghost) cannot be found\n");
}

TEST_F(Send, StoppedTerminalsCostTheSendAboutThreeSecondsPerUserHoweverMany)
{
    // alice holds eight terminals with Ctrl-S and reads a ninth; bob reads his.
    std::vector<test_pty> stopped;
    for (int i = 0; i < 8; i++)
        stopped.push_back(open_stopped_pty_for("alice"));
    test_pty reading = open_pty_for("alice"), bobs = open_pty_for("bob");
    double start = seconds();
    run_result r = root_kelv({"send", "--to", "alice,bob", "hello"});
    double took = seconds() - start;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GE(took, 2.0);
    EXPECT_LT(took, 6.0);
    EXPECT_EQ(deliveries(1), "alice 1\nbob 1\n");
    EXPECT_NE(reading.read_available(300).find("hello"), std::string::npos);
    EXPECT_NE(bobs.read_available(300).find("hello"), std::string::npos);
}

TEST_F(Send, ARevocationBetweenTwoRecipientsStopsTheLoop)
{
    test_pty stopped = open_stopped_pty_for("alice");
    run_result r;
    std::thread sender([&] { r = root_kelv({"send", "--to", "alice,bob", "hello"}); });
    // While alice's terminal holds the send up, the message is revoked.
    for (int i = 0; i < 100 && !exists(inbox("alice", 1)); i++)
        usleep(20000);
    write_text(sent_file(1, "revoked"), "1\n", 0600);
    sender.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Message 1 revoked while sending: delivery stopped.\n");
    EXPECT_FALSE(exists(inbox("bob", 1)));
    EXPECT_EQ(deliveries(1), "alice 0\n");
    EXPECT_EQ(kinds(1), (std::vector<std::string>{"DELIVERED alice 0", "SENT  alice bob"}));
}

TEST_F(Send, AMailboxLeadingIntoAFileSystemThatNeverAnswersHoldsNobodyUp)
{
    // bob's own file system, which never answers, reached from his mailbox in
    // each way open to him: his inbox a link into it, mounted on his inbox,
    // mounted on the mailbox itself (fusermount3 mounts on what he owns).
    const std::string box = "/var/lib/kelvora/users/bob";
    const std::string ways[] = {"inbox linked", "on the inbox", "on the mailbox"};
    for (const std::string &way : ways) {
        SCOPED_TRACE(way);
        system_reset();
        ASSERT_EQ(root_kelv({"send", "--to", "bob", "first"}).status, 0);
        mkdir("/run/e2e/hang", 0755);
        chown("/run/e2e/hang", 1002, 1002);
        std::string target = way == "on the inbox" ? box + "/inbox" : way == "on the mailbox" ? box : "/run/e2e/hang";
        if (way == "inbox linked") {
            run_as("bob", {"sh", "-c", "rm -r " + box + "/inbox && ln -s /run/e2e/hang/in " + box + "/inbox"});
            ASSERT_EQ(readlink_text(box + "/inbox"), "/run/e2e/hang/in");
        }
        hanging_fs fs = mount_hanging_fs(target, "bob");

        double start = seconds();
        run_result r = root_kelv({"send", "--to", "bob,carol", "hello"});
        EXPECT_LT(seconds() - start, 5.0);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "Message 2 delivered to 1 of 2 recipients.\n");
        EXPECT_EQ(r.err, "kelv: message 2 not delivered to: bob (see the log; the next kelv command will retry)\n");
        EXPECT_TRUE(exists(inbox("carol", 2)));

        // Neither the message's lock nor bob's mailbox holds up what follows.
        start = seconds();
        r = root_kelv({"revoke", "2"});
        EXPECT_LT(seconds() - start, 5.0);
        EXPECT_EQ(r.out, "Message 2 revoked.\n") << r.err;
        EXPECT_FALSE(exists(inbox("carol", 2)));
    }
}

TEST_F(Send, TheAgentIsStartedOnlyForAGraphicalSession)
{
    root_kelv({"send", "--to", "alice", "no desktop"});
    EXPECT_FALSE(exists("/run/e2e/log/systemd-run.argv"));

    session_write("7", {"UID=1001", "USER=alice", "CLASS=user", "TYPE=x11", "STATE=active", "DISPLAY=:5"});
    root_kelv({"send", "--to", "alice", "desktop"});
    EXPECT_EQ(read_text("/run/e2e/log/systemd-run.argv"),
              "--user --machine=alice@.host --collect --quiet /usr/local/lib/kelvora/kelvora-user agent\n");
}

TEST_F(Send, AServiceManagerThatNeverAnswersCostsAFewSecondsAndSaysNothing)
{
    // alice's manager hangs after a message meant for root's terminal.
    mkdir("/run/e2e/hangbin", 0755);
    write_text("/run/e2e/hangbin/systemd-run",
               "#!/bin/sh\nprintf 'Failed \\033]2;owned\\007\\033[2J' >&2\nexec sleep 1000\n", 0755);
    session_write("7", {"UID=1001", "USER=alice", "CLASS=user", "TYPE=x11", "STATE=active"});
    run_options o;
    o.env = {"PATH=/run/e2e/hangbin:/usr/local/bin:/usr/bin:/bin", "TZ=UTC"};
    double start = seconds();
    run_result r = run_program({kelv, "send", "--to", "alice,bob", "x"}, o);
    double took = seconds() - start;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Message 1 sent to 2 users.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_GE(took, 4.5);
    EXPECT_LT(took, 10.0);
    EXPECT_EQ(deliveries(1), "alice 0\nbob 0\n");
}

TEST_F(Send, AStaleReadyFileNeverMakesKelvSignalAnotherProcess)
{
    session_write("7", {"UID=1001", "USER=alice", "CLASS=user", "TYPE=x11", "STATE=active"});
    // A process of alice's that is not the agent, named in her ready file.
    pid_t sleeper = fork();
    if (sleeper == 0) {
        if (setgid(1001) == 0 && setuid(1001) == 0)
            execl("/bin/sleep", "sleep", "60", nullptr);
        _exit(1);
    }
    usleep(100000);
    const std::string ready = "/run/user/1001/kelvora-agent.ready";
    for (std::string content : {std::to_string(sleeper) + "\n", std::string("1\n"), std::string("4194305\n")}) {
        unlink("/run/e2e/log/systemd-run.argv");
        write_text(ready, content);
        chown(ready.c_str(), 1001, 1001);
        root_kelv({"send", "--to", "alice", "x"});
        EXPECT_TRUE(exists("/run/e2e/log/systemd-run.argv")) << content; // a new agent instead
        EXPECT_EQ(kill(sleeper, 0), 0) << "the sleeper was signalled";
        // The new agent comes up in the background; it is ended before the
        // next round, which must not find it.
        int64_t agent = 0;
        for (int i = 0; i < 250 && agent == 0; i++) {
            std::string written = read_text(ready);
            if (written == content || !parse_number(written.substr(0, written.find('\n')).c_str(), agent))
                usleep(20000);
        }
        ASSERT_GT(agent, 0) << "no agent started";
        kill(static_cast<pid_t>(agent), SIGKILL);
        for (int i = 0; i < 250 && kill(static_cast<pid_t>(agent), 0) == 0; i++)
            usleep(20000);
    }
    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
}
