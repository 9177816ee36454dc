// A crash sweep: kelv send to three users is killed with SIGKILL at many
// different moments, each at the K-th call of one of the system calls that
// change or order the store; then the next kelv command runs the recovery
// pass. Whatever the moment, every recipient ends with exactly one copy and
// one delivery line, or the send is cancelled with no copy anywhere.
#include "common/common.h"
#include "system.h"

#include <fcntl.h>
#include <sys/file.h>
#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string kelv = "/usr/local/bin/kelv";
const char *const users[] = {"alice", "bob", "dave"};

class CrashSweep : public system_test {};

std::string record(const std::string &name) { return "/var/lib/kelvora/sent/1/" + name; }

std::string inbox(const std::string &user) { return "/var/lib/kelvora/users/" + user + "/inbox/1"; }

int delivery_lines(const std::string &user)
{
    std::string log = read_text(record("delivery"));
    int n = 0;
    for (size_t p = 0; p < log.size();) {
        size_t nl = log.find('\n', p);
        if (log.compare(p, user.size() + 1, user + " ") == 0)
            n++;
        p = nl == std::string::npos ? log.size() : nl + 1;
    }
    return n;
}

// Waits for the mailbox children of a killed send, which run on as orphans
// and hold its message lock until they end.
void wait_for_orphans()
{
    int fd = open(record("lock").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    for (int i = 0; i < 500 && flock(fd, LOCK_EX | LOCK_NB) < 0; i++)
        usleep(10000);
    close(fd);
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

} // namespace

TEST_F(CrashSweep, NoKillPointLosesOrDoublesADelivery)
{
    // The calls at which kelv send is killed. Every occurrence of each is
    // tried, up to 60 spread over the send when there are more (as in a
    // sanitizer build, whose runtime makes many calls of its own).
    const char *const syscalls[] = {"mkdir", "openat", "write", "fsync", "rename", "unlink", "flock",
                                    "lchown", "clone", "wait4", "sendmsg", "syncfs", "close"};
    const int most = 60;
    // The largest text there is: its copy does not fit into a pipe at once.
    const std::string text(65535, 'x');
    int tried = 0, killed = 0, cancelled = 0, completed = 0, untouched = 0;
    for (const char *syscall : syscalls) {
        system_reset();
        write_text("/run/e2e/text", text + "\n");
        run_program({"strace", "-qq", "-o", "/run/e2e/calls", "-e", std::string("trace=") + syscall, kelv, "send",
                     "--to", "alice,bob,dave", "--file", "/run/e2e/text"},
                    traced_options());
        std::string calls = read_text("/run/e2e/calls");
        int count = static_cast<int>(std::count(calls.begin(), calls.end(), '\n')) - 1; // "+++ exited"
        for (int i = 0; i < std::min(count, most); i++) {
            int k = count <= most ? i + 1 : 1 + static_cast<int>(static_cast<long>(i) * (count - 1) / (most - 1));
            system_reset();
            write_text("/run/e2e/text", text + "\n");
            std::string inject = std::string("inject=") + syscall + ":signal=SIGKILL:when=" + std::to_string(k);
            run_result r = run_program({"strace", "-qq", "-o", "/dev/null", "-e", std::string("trace=") + syscall, "-e",
                                        inject, kelv, "send", "--to", "alice,bob,dave", "--file", "/run/e2e/text"},
                                       traced_options());
            tried++;
            killed += r.status == 128 + SIGKILL;
            wait_for_orphans();
            ASSERT_EQ(torn_copy(), "") << "killed at " << syscall << " #" << k;
            run_program({kelv, "list"}); // the next command, with its recovery pass
            std::string problem = inconsistency();
            ASSERT_EQ(problem, "") << "killed at " << syscall << " #" << k;
            if (exists(record("failed")))
                cancelled++;
            else if (exists(record("msg")))
                completed++;
            else
                untouched++;
        }
    }
    printf("crash sweep: %d kill points tried (%d by SIGKILL): %d completed by recovery, %d cancelled, "
           "%d before anything was saved\n",
           tried, killed, completed, cancelled, untouched);
    RecordProperty("kill_points", tried);
    EXPECT_GT(tried, 80);
    EXPECT_GT(completed, 0);
    EXPECT_GT(cancelled, 0);
}
