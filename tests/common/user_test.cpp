// run_as_user without root: the child keeps the caller's identity, and
// everything about pipes, limits and statuses can be checked.
#include "common/common.h"
#include "support.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

// In test mode the child keeps the caller's identity, whoever runs the tests.
struct caller {
    user_info u;
    bool saved_mode = test_mode;
    caller()
    {
        test_mode = true;
        if (!user_lookup_uid(getuid(), u))
            throw std::runtime_error("no passwd entry for the test user");
    }
    ~caller() { test_mode = saved_mode; }
};

int return_arg(void *arg) { return *static_cast<int *>(arg); }

int echo_input(void *)
{
    textbuf b;
    if (read_fd(0, SIZE_MAX, b) < 0)
        return 9;
    fwrite(textbuf_str(b), 1, b.len, stdout);
    return b.len == 0 ? 5 : 0;
}

int write_twenty(void *)
{
    fputs("0123456789abcdefghij", stdout);
    return 4;
}

int sleep_forever(void *arg)
{
    // Tell the parent who we are, then hang.
    printf("%d\n", getpid());
    fflush(stdout);
    (void)arg;
    for (;;)
        pause();
}

int report_context(void *)
{
    char cwd[64] = "";
    if (!getcwd(cwd, sizeof cwd))
        return 1;
    mode_t m = umask(0);
    struct sigaction sa;
    sigaction(SIGPIPE, nullptr, &sa);
    printf("%s %03o %d", cwd, m, sa.sa_handler == SIG_DFL);
    return 0;
}

} // namespace

TEST(RunAsUser, ExitStatusesAreMappedLikeAShellWouldSeeThem)
{
    caller c;
    int three = 3, reserved = 126, big = 300;
    EXPECT_EQ(run_as_user(c.u, return_arg, &three, nullptr, nullptr, 0, 5), 3);
    EXPECT_EQ(run_as_user(c.u, return_arg, &reserved, nullptr, nullptr, 0, 5), -1);
    EXPECT_EQ(run_as_user(c.u, return_arg, &big, nullptr, nullptr, 0, 5), 44);
}

TEST(RunAsUser, OutputIsCutAtTheLimitAndTheStatusStillComesBack)
{
    caller c;
    textbuf out;
    EXPECT_EQ(run_as_user(c.u, write_twenty, nullptr, nullptr, &out, 10, 5), 4);
    EXPECT_EQ(std::string(out.data, out.len), "0123456789");
}

TEST(RunAsUser, EmptyInputIsAnImmediateEndOfFile)
{
    caller c;
    textbuf empty, out;
    EXPECT_EQ(run_as_user(c.u, echo_input, nullptr, &empty, &out, 100, 5), 5);
    EXPECT_EQ(out.len, 0u);
}

TEST(RunAsUser, LargeInputAndOutputFlowWithoutDeadlock)
{
    caller c;
    textbuf in, out;
    for (int i = 0; i < 100000; i++)
        textbuf_printf(in, "line %d\n", i);
    EXPECT_EQ(run_as_user(c.u, echo_input, nullptr, &in, &out, SIZE_MAX, 20), 0);
    ASSERT_EQ(out.len, in.len);
    EXPECT_EQ(memcmp(out.data, in.data, in.len), 0);
}

TEST(RunAsUser, AChildThatStopsReadingDoesNotKillTheCaller)
{
    caller c;
    textbuf in;
    textbuf_append(in, std::string(1 << 20, 'x').data(), 1 << 20);
    int zero = 0;
    EXPECT_EQ(run_as_user(c.u, return_arg, &zero, &in, nullptr, 0, 5), 0);
    struct sigaction sa;
    sigaction(SIGPIPE, nullptr, &sa);
    EXPECT_EQ(sa.sa_handler, SIG_DFL); // restored after the call
}

TEST(RunAsUser, AnOverrunningChildIsKilledAtTheLimitAndReaped)
{
    caller c;
    textbuf out;
    struct timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    EXPECT_EQ(run_as_user(c.u, sleep_forever, nullptr, nullptr, &out, 100, 1), -1);
    clock_gettime(CLOCK_MONOTONIC, &b);
    double took = (b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) / 1e9;
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 5.0);
    pid_t pid = static_cast<pid_t>(atoi(textbuf_str(out)));
    ASSERT_GT(pid, 0);
    EXPECT_EQ(kill(pid, 0), -1); // gone, and reaped: not even a zombie
    EXPECT_EQ(errno, ESRCH);
}

TEST(RunAsUser, TheChildWorksFromTheRootDirectoryWithAFixedMask)
{
    caller c;
    textbuf out;
    mode_t old = umask(077);
    EXPECT_EQ(run_as_user(c.u, report_context, nullptr, nullptr, &out, 100, 5), 0);
    umask(old);
    EXPECT_STREQ(textbuf_str(out), "/ 022 1");
}

namespace {

// Prints when it started and ended on the monotonic clock, a third of a
// second apart, then ends with its argument.
int timed_nap(void *arg)
{
    long long start = monotonic_ms();
    struct timespec third = {0, 333 * 1000 * 1000};
    nanosleep(&third, nullptr);
    printf("%lld %lld", start, static_cast<long long>(monotonic_ms()));
    return *static_cast<int *>(arg);
}

} // namespace

TEST(RunAsUsers, SeveralAtOnceEachWithItsOwnOutputStatusAndLimit)
{
    caller c;
    const size_t count = 5;
    int statuses[count] = {0, 1, 2, 3, 4};
    textbuf outs[count];
    user_run runs[count];
    for (size_t i = 0; i < count; i++) {
        runs[i].user = &c.u;
        runs[i].fn = timed_nap;
        runs[i].arg = &statuses[i];
        runs[i].output = &outs[i];
        runs[i].output_limit = 100;
        runs[i].time_limit = 10;
    }
    // The first hangs in one of the three places until it is killed at its
    // own limit; the others go on in the other two.
    runs[0].fn = sleep_forever;
    runs[0].time_limit = 1;
    run_as_users(runs, count, 3);

    EXPECT_EQ(runs[0].result, -1);
    pid_t hung = static_cast<pid_t>(atoi(textbuf_str(outs[0])));
    ASSERT_GT(hung, 0);
    EXPECT_EQ(kill(hung, 0), -1);
    std::vector<std::pair<long long, long long>> spans;
    for (size_t i : {1, 2, 3, 4}) {
        EXPECT_EQ(runs[i].result, statuses[i]);
        long long start = 0, end = 0;
        ASSERT_EQ(sscanf(textbuf_str(outs[i]), "%lld %lld", &start, &end), 2) << i;
        spans.push_back({start, end});
    }
    // Beside the hanging one, never more than two at once, and two did run
    // at once.
    size_t most = 0;
    for (const auto &s : spans) {
        size_t at_once = 0;
        for (const auto &t : spans)
            at_once += t.first <= s.first && s.first < t.second;
        most = std::max(most, at_once);
    }
    EXPECT_EQ(most, 2u);
}
