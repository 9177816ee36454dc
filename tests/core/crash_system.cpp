// Crash sweeps: kelv send, revoke, purge and the recovery pass itself are
// killed with SIGKILL at many different moments, each at the K-th call of one
// of the system calls that change or order the store; then the next kelv
// command runs the recovery pass. Whatever the moment, every recipient ends
// with exactly one copy and one delivery line or the send is cancelled with
// no copy anywhere, no revoked copy is left, and a purged message is gone
// whole or kept whole.
#include "common/common.h"
#include "system.h"

#include <fcntl.h>
#include <sys/file.h>
#include <algorithm>
#include <functional>
#include <stdexcept>
#include <thread>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string kelv = "/usr/local/bin/kelv";
const char *const users[] = {"alice", "bob", "dave"};

class CrashSweep : public system_test {};

std::string record(const std::string &name, int n = 1)
{
    return "/var/lib/kelvora/sent/" + std::to_string(n) + "/" + name;
}

std::string box(const std::string &user, const std::string &rel)
{
    return "/var/lib/kelvora/users/" + user + "/" + rel;
}

std::string inbox(const std::string &user, int n = 1) { return box(user, "inbox/" + std::to_string(n)); }

int delivery_lines(const std::string &user, int n = 1)
{
    std::string log = read_text(record("delivery", n));
    int lines = 0;
    for (size_t p = 0; p < log.size();) {
        size_t nl = log.find('\n', p);
        if (log.compare(p, user.size() + 1, user + " ") == 0)
            lines++;
        p = nl == std::string::npos ? log.size() : nl + 1;
    }
    return lines;
}

// A copy in an inbox is always whole, even right after the kill.
std::string torn_copy()
{
    std::string msg = read_text(record("msg"));
    for (const char *u : users)
        if (exists(inbox(u)) && read_text(inbox(u)) != msg)
            return std::string("a torn copy for ") + u;
    return "";
}

// What the store says after recovery; empty when it is consistent.
std::string inconsistency()
{
    std::vector<std::string> numbers;
    for (const std::string &name : list_dir("/var/lib/kelvora/sent"))
        if (name[0] != '.')
            numbers.push_back(name);
    if (numbers.size() > 1)
        return "more than one record";
    bool saved = exists(record("msg")) && !exists(record("failed"));
    if (exists(record("incomplete")))
        return "incomplete marker left";
    if (!saved) {
        for (const char *u : users)
            if (exists(inbox(u)))
                return std::string("copy for ") + u + " of a send that was not saved";
        if (exists(record("delivery")))
            return "delivery log of a send that was not saved";
        return "";
    }
    if (read_text(record("recipients")) != "alice\nbob\ndave\n")
        return "recipients: " + read_text(record("recipients"));
    std::string msg = read_text(record("msg"));
    for (const char *u : users) {
        if (read_text(inbox(u)) != msg)
            return std::string("no whole copy for ") + u;
        if (delivery_lines(u) != 1)
            return std::string(u) + " has " + std::to_string(delivery_lines(u)) + " delivery lines";
    }
    return "";
}


// What a sweep runs and checks.
struct sweep {
    std::vector<const char *> syscalls; // where the command is killed
    int most;                           // kill points per system call at most
    std::function<void()> prepare;      // the store before the command
    std::vector<std::string> command;   // kelv and its arguments
    std::function<std::string()> killed; // right after the kill: "" when sound
    std::function<std::string()> after;  // after the next command: "" when sound
};

// Runs the sweep; the number of kill points tried.
int run_sweep(const sweep &w)
{
    std::vector<std::string> trace = {"strace", "-qq", "-o", "/run/e2e/calls", "-e", ""};
    int tried = 0;
    for (const char *syscall : w.syscalls) {
        system_reset();
        w.prepare();
        trace[5] = std::string("trace=") + syscall;
        std::vector<std::string> counted = trace;
        counted.insert(counted.end(), w.command.begin(), w.command.end());
        run_program(counted, traced_options());
        std::string calls = read_text("/run/e2e/calls");
        int count = static_cast<int>(std::count(calls.begin(), calls.end(), '\n')) - 1; // "+++ exited"
        for (int i = 0; i < std::min(count, w.most); i++) {
            int k = count <= w.most ? i + 1 : 1 + static_cast<int>(static_cast<long>(i) * (count - 1) / (w.most - 1));
            system_reset();
            w.prepare();
            std::vector<std::string> killing = {"strace", "-qq", "-o", "/dev/null", "-e", std::string("trace=") + syscall,
                                                "-e", std::string("inject=") + syscall + ":signal=SIGKILL:when=" +
                                                          std::to_string(k)};
            killing.insert(killing.end(), w.command.begin(), w.command.end());
            run_program(killing, traced_options());
            tried++;
            std::string problem = w.killed ? w.killed() : "";
            EXPECT_EQ(problem, "") << "killed at " << syscall << " #" << k;
            run_program({kelv, "list"}); // the next command, with its recovery pass
            problem = w.after();
            EXPECT_EQ(problem, "") << "killed at " << syscall << " #" << k;
            if (::testing::Test::HasFailure())
                return tried;
        }
    }
    return tried;
}

run_result root_kelv(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {kelv};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

// Message n sent to the three users, complete.
void sent_to_all(int n)
{
    run_result r = root_kelv({"send", "--to", "alice,bob,dave", "message " + std::to_string(n)});
    if (r.status != 0)
        throw std::runtime_error("kelv send: " + r.err);
}

// Every copy of n is whole and every recipient has one delivery line.
std::string delivered_to_all(int n)
{
    std::string msg = read_text(record("msg", n));
    if (exists(record("incomplete", n)))
        return "message " + std::to_string(n) + ": incomplete marker left";
    for (const char *u : users) {
        if (read_text(inbox(u, n)) != msg)
            return "message " + std::to_string(n) + ": no whole copy for " + u;
        if (delivery_lines(u, n) != 1)
            return "message " + std::to_string(n) + ": " + u + " has " + std::to_string(delivery_lines(u, n)) +
                   " delivery lines";
    }
    return "";
}

// No file of message n is left in any mailbox (or, with only, in that one).
std::string no_files_of(int n, const std::vector<std::string> &dirs)
{
    for (const char *u : users)
        for (const std::string &d : dirs)
            if (exists(box(u, d + "/" + std::to_string(n))))
                return "message " + std::to_string(n) + ": " + u + " still has " + d + "/" + std::to_string(n);
    return "";
}

// alice confirmed message n, bob put it off, dave has not looked yet.
void answered(int n)
{
    std::string id = std::to_string(n);
    run_as("alice", {"sh", "-c", "cd " + box("alice", "") + " && echo 1 desktop > acks/" + id + " && mv inbox/" + id +
                                     " read/" + id});
    run_as("bob", {"touch", box("bob", "state/" + id + ".term")});
}

const std::vector<std::string> mailbox_files = {"inbox", "read", "acks"};

} // namespace

TEST_F(CrashSweep, NoKillPointOfASendLosesOrDoublesADelivery)
{
    // Every occurrence of each call is tried, up to 60 spread over the send
    // when there are more (as in a sanitizer build, whose runtime makes many
    // calls of its own).
    // The largest text there is: its copy does not fit into a pipe at once.
    const std::string text(65535, 'x');
    int cancelled = 0, completed = 0, untouched = 0;
    sweep w;
    w.syscalls = {"mkdir", "mkdirat", "openat", "openat2", "write", "fsync", "rename", "unlink", "fcntl",
                  "fchown", "clone", "wait4", "sendmsg", "syncfs", "close"};
    w.most = 60;
    w.prepare = [&] { write_text("/run/e2e/text", text + "\n"); };
    w.command = {kelv, "send", "--to", "alice,bob,dave", "--file", "/run/e2e/text"};
    w.killed = torn_copy;
    w.after = [&] {
        std::string problem = inconsistency();
        if (exists(record("failed")))
            cancelled++;
        else if (exists(record("msg")))
            completed++;
        else
            untouched++;
        return problem;
    };
    int tried = run_sweep(w);
    printf("crash sweep of send: %d kill points: %d completed by recovery, %d cancelled, "
           "%d before anything was saved\n",
           tried, completed, cancelled, untouched);
    RecordProperty("kill_points", tried);
    EXPECT_GT(tried, 80);
    EXPECT_GT(completed, 0);
    EXPECT_GT(cancelled, 0);
}

// The sweep's kill points fall where they fall; this one is the moment that
// made it fail now and then on a loaded machine: kelv send killed right after
// forking a mailbox child that has not yet closed what it inherited (here
// held for five seconds before it does). Nothing of the dead send may keep
// its message busy: the very next command completes it.
TEST_F(CrashSweep, AKilledSendLeavesItsLockToNoChildOfIt)
{
    const std::vector<std::string> send = {kelv, "send", "--to", "alice,bob,dave", "x"};
    std::vector<std::string> counted = {"strace", "-qq", "-o", "/run/e2e/calls", "-e", "trace=close,clone"};
    counted.insert(counted.end(), send.begin(), send.end());
    run_program(counted, traced_options());
    std::string calls = read_text("/run/e2e/calls");
    size_t fork_at = calls.find("clone(");
    ASSERT_NE(fork_at, std::string::npos) << calls;
    long after_fork = std::count(calls.begin(), calls.begin() + static_cast<long>(fork_at), '\n') + 1;

    system_reset();
    std::vector<std::string> killing = {"strace", "-f", "-qq", "-o", "/run/e2e/calls", "-e", "trace=close,close_range",
                                        "-e", "inject=close_range:delay_enter=5000000",
                                        "-e", "inject=close:signal=SIGKILL:when=" + std::to_string(after_fork)};
    killing.insert(killing.end(), send.begin(), send.end());
    std::thread traced([&] { run_program(killing, traced_options()); });
    bool killed = false;
    for (int64_t end = monotonic_ms() + 60000; !killed && monotonic_ms() < end; usleep(10000))
        killed = read_text("/run/e2e/calls").find("+++ killed by SIGKILL +++") != std::string::npos;
    run_result next = run_program({kelv, "list"});
    traced.join();
    ASSERT_TRUE(killed) << read_text("/run/e2e/calls");
    EXPECT_EQ(next.err, "kelv: completed delivery of message 1 to 3 recipients\n");
    EXPECT_EQ(delivered_to_all(1), "");
}

// The calls of the shorter sweeps.
const std::vector<const char *> store_calls = {"openat", "openat2", "write", "rename", "unlink", "rmdir",
                                               "fsync", "fcntl", "clone", "wait4", "sendmsg"};

TEST_F(CrashSweep, NoKillPointOfARevocationLeavesARevokedCopy)
{
    int revoked = 0, live = 0;
    sweep w;
    w.syscalls = store_calls;
    w.prepare = [] { sent_to_all(1); };
    w.most = 20;
    w.command = {kelv, "revoke", "1"};
    w.after = [&] {
        if (exists(record("revoking")))
            return std::string("revoking marker left");
        if (!exists(record("revoked"))) {
            live++;
            return delivered_to_all(1); // never revoked: nothing taken away
        }
        revoked++;
        return no_files_of(1, {"inbox"});
    };
    int tried = run_sweep(w);
    printf("crash sweep of revoke: %d kill points: %d revoked, %d killed before the revocation was recorded\n",
           tried, revoked, live);
    EXPECT_GT(revoked, 0);
    EXPECT_GT(live, 0);
}

TEST_F(CrashSweep, NoKillPointOfAPurgeLeavesAMessageHalfPresent)
{
    int deleted = 0, kept = 0;
    sweep w;
    w.syscalls = store_calls;
    w.prepare = [] {
        sent_to_all(1);
        answered(1);
        // A hundred days old.
        message m;
        if (message_read(record("msg").c_str(), m) < 0)
            throw std::runtime_error("no reference copy");
        m.date -= 100 * 86400;
        textbuf b;
        message_format(m, b);
        write_text(record("msg"), b.data, 0600);
    };
    w.most = 20;
    w.command = {kelv, "purge", "90d"};
    w.after = [&] {
        if (exists("/var/lib/kelvora/sent/.deleting-1"))
            return std::string("deletion directory left");
        if (!exists(record("msg"))) {
            deleted++;
            std::string problem = no_files_of(1, mailbox_files);
            return problem.empty() && exists(box("bob", "state/1.term")) ? "bob's marker left" : problem;
        }
        kept++;
        for (const char *f : {"alice/acks/1", "alice/read/1", "bob/inbox/1", "bob/state/1.term", "dave/inbox/1"})
            if (!exists(std::string("/var/lib/kelvora/users/") + f))
                return std::string("kept, but without ") + f;
        return std::string();
    };
    int tried = run_sweep(w);
    printf("crash sweep of purge: %d kill points: %d deleted whole, %d kept whole\n", tried, deleted, kept);
    EXPECT_GT(deleted, 0);
    EXPECT_GT(kept, 0);
}

TEST_F(CrashSweep, NoKillPointOfTheRecoveryPassLeavesItsWorkUndone)
{
    sweep w;
    w.syscalls = store_calls;
    w.prepare = [] {
        // 1: a send that reached alice only; 2: a revocation that removed no
        // copy yet; 3: a purge that moved the record away and nothing more.
        for (int n = 1; n <= 3; n++)
            sent_to_all(n);
        answered(3);
        write_text(record("incomplete"), "", 0600);
        write_text(record("delivery"), read_text(record("delivery")).substr(0, read_text(record("delivery")).find('\n') + 1),
                   0600);
        for (const char *u : {"bob", "dave"})
            unlink(inbox(u).c_str());
        write_text(record("revoking", 2), "", 0600);
        write_text(record("revoked", 2), std::to_string(now()) + "\n", 0600);
        rename("/var/lib/kelvora/sent/3", "/var/lib/kelvora/sent/.deleting-3");
    };
    w.most = 12;
    w.command = {kelv, "list"};
    w.after = [] {
        std::string problem = delivered_to_all(1);
        if (problem.empty() && exists(record("revoking", 2)))
            problem = "revoking marker left";
        if (problem.empty())
            problem = no_files_of(2, {"inbox"});
        if (problem.empty() && exists("/var/lib/kelvora/sent/.deleting-3"))
            problem = "deletion directory left";
        return problem.empty() ? no_files_of(3, mailbox_files) : problem;
    };
    int tried = run_sweep(w);
    printf("crash sweep of the recovery pass: %d kill points\n", tried);
    EXPECT_GT(tried, 30);
}
