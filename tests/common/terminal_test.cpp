#include "common/common.h"
#include "support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

double seconds_since(const timespec &a)
{
    timespec b;
    clock_gettime(CLOCK_MONOTONIC, &b);
    return (b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) / 1e9;
}

struct pty_pair {
    unique_fd master, slave;
    std::string path;
    pty_pair()
    {
        int m, s;
        char name[64];
        if (openpty(&m, &s, name, nullptr, nullptr) < 0)
            throw std::runtime_error("openpty");
        master.reset(m);
        slave.reset(s);
        path = name;
    }
};

} // namespace

TEST(TestModeTerminals, OnlyTheConfiguredTerminalIsListedAndAPlainFileWillDo)
{
    temp_dir d;
    std::string tty = d / "tty";
    write_text(tty, "");
    bool saved = test_mode;
    test_mode = true;
    {
        scoped_env e("KELV_TEST_TTY", tty.c_str());
        strlist l;
        list_user_terminals(getuid(), l);
        ASSERT_EQ(l.count, 1u);
        EXPECT_EQ(std::string(l.items[0]), tty);
        EXPECT_TRUE(write_terminal(tty.c_str(), getuid(), "hello\r\n", 7));
        EXPECT_FALSE(write_terminal(tty.c_str(), getuid() + 1, "x", 1));
    }
    {
        scoped_env e("KELV_TEST_TTY", "");
        strlist l;
        list_user_terminals(getuid(), l);
        EXPECT_EQ(l.count, 0u);
    }
    test_mode = saved;
    EXPECT_EQ(read_text(tty), "hello\r\n");
    EXPECT_FALSE(write_terminal(tty.c_str(), getuid(), "x", 1)); // not a device outside test mode
    EXPECT_FALSE(write_terminal((d / "missing").c_str(), getuid(), "x", 1));
}

TEST(WriteTerminal, ReachesThePseudoTerminalAndCountsZeroBytesAsWritten)
{
    pty_pair p;
    EXPECT_TRUE(write_terminal(p.path.c_str(), getuid(), "banner", 6));
    EXPECT_TRUE(write_terminal(p.path.c_str(), getuid(), "", 0));
    char buf[16] = {};
    ssize_t n = read(p.master.get(), buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "banner");
}

TEST(WriteTerminal, StoppedOutputCostsAboutThreeSeconds)
{
    pty_pair p;
    // Flow control: the terminal's output is suspended as by Ctrl-S.
    ASSERT_EQ(tcflow(p.slave.get(), TCOOFF), 0);
    std::string text(200000, 'x');
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    EXPECT_FALSE(write_terminal(p.path.c_str(), getuid(), text.data(), text.size()));
    double took = seconds_since(start);
    EXPECT_GE(took, 2.0);
    EXPECT_LT(took, 4.5);
}

TEST(WriteTerminal, ATerminalNobodyReadsCostsAboutThreeSeconds)
{
    pty_pair p;
    std::string text(1 << 20, 'y'); // far more than the terminal buffers hold
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    EXPECT_FALSE(write_terminal(p.path.c_str(), getuid(), text.data(), text.size()));
    double took = seconds_since(start);
    EXPECT_GE(took, 2.0);
    EXPECT_LT(took, 4.5);
}
