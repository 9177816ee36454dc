// Sessions from the login manager's own files, and terminals that belong to
// the test users.
#include "common/common.h"
#include "system.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

class Sessions : public system_test {};

std::string joined(const strlist &l)
{
    std::string s;
    for (size_t i = 0; i < l.count; i++)
        s += std::string(l.items[i]) + " ";
    return s;
}

std::string online()
{
    strlist l;
    list_online_users(l);
    return joined(l);
}

std::string terminals(uid_t uid)
{
    strlist l;
    list_user_terminals(uid, l);
    return joined(l);
}

} // namespace

TEST_F(Sessions, OnlyUserClassSessionsOfHumansMakeSomeoneOnline)
{
    EXPECT_EQ(online(), "");
    session_write("1", {"UID=1002", "USER=bob", "CLASS=greeter", "TYPE=x11", "STATE=online"});
    session_write("2", {"UID=999", "USER=erin", "CLASS=user", "TYPE=tty", "STATE=active"});
    session_write("3", {"UID=1003", "USER=carol", "CLASS=user", "TYPE=tty", "STATE=active"});
    EXPECT_EQ(online(), "");
    session_write("4", {"UID=1004", "USER=dave", "CLASS=user", "TYPE=tty", "STATE=closing"});
    session_write("5", {"UID=1001", "USER=alice", "CLASS=user", "TYPE=x11", "STATE=active"});
    session_write("6", {"UID=1001", "USER=alice", "CLASS=user", "TYPE=tty", "STATE=online"});
    EXPECT_EQ(online(), "alice dave "); // a closing session still counts here
    session_remove("4");
    EXPECT_EQ(online(), "alice ");
}

TEST_F(Sessions, ConsolesComeFromTextSessionsWithTtyNames)
{
    test_pty a = open_pty_for("alice");
    test_pty b = open_pty_for("alice");
    test_pty other = open_pty_for("bob");
    session_write("1", {"UID=1001", "CLASS=user", "TYPE=tty", "TTY=tty2", "STATE=active"});
    session_write("2", {"UID=1001", "CLASS=user", "TYPE=tty", "TTY=tty2", "STATE=online"});
    session_write("3", {"UID=1001", "CLASS=user", "TYPE=tty", "TTY=tty", "STATE=online"});
    session_write("4", {"UID=1001", "CLASS=user", "TYPE=tty", "TTY=tty3x", "STATE=online"});
    session_write("5", {"UID=1001", "CLASS=user", "TYPE=x11", "TTY=tty7", "STATE=active"});
    session_write("6", {"UID=1002", "CLASS=user", "TYPE=tty", "TTY=tty5", "STATE=active"});
    session_write("7", {"UID=1001", "CLASS=user", "TYPE=tty", "TTY=pts/9", "STATE=active"});
    std::string expected = a.slave_path + " " + b.slave_path + " /dev/tty2 ";
    if (b.slave_path < a.slave_path)
        expected = b.slave_path + " " + a.slave_path + " /dev/tty2 ";
    EXPECT_EQ(terminals(1001), expected);
    EXPECT_EQ(terminals(1002), other.slave_path + " /dev/tty5 ");
    EXPECT_EQ(terminals(1004), "");
}

TEST_F(Sessions, ADesktopCountsUntilItIsClosing)
{
    EXPECT_FALSE(has_desktop_session(1001));
    session_write("1", {"UID=1001", "CLASS=user", "TYPE=tty", "STATE=active"});
    session_write("2", {"UID=1002", "CLASS=user", "TYPE=wayland", "STATE=active"});
    EXPECT_FALSE(has_desktop_session(1001));
    EXPECT_TRUE(has_desktop_session(1002));
    session_write("3", {"UID=1001", "CLASS=user", "TYPE=x11", "STATE=online"});
    EXPECT_TRUE(has_desktop_session(1001));
    session_write("3", {"UID=1001", "CLASS=user", "TYPE=x11", "STATE=closing"});
    EXPECT_FALSE(has_desktop_session(1001));
    session_write("3", {"UID=1001", "CLASS=user", "TYPE=x11"}); // state unreadable: not closing
    EXPECT_TRUE(has_desktop_session(1001));
}

TEST_F(Sessions, MalformedSessionFilesAreHarmless)
{
    session_write("1", {"garbage", "UID=notanumber", "CLASS=user"});
    session_write("2", {"UID=1001"});
    session_write("3", {});
    EXPECT_EQ(online(), "");
    EXPECT_EQ(terminals(1001), "");
    EXPECT_FALSE(has_desktop_session(1001));
}

TEST_F(Sessions, AnotherUsersTerminalIsNeverWritten)
{
    test_pty alice = open_pty_for("alice");
    EXPECT_FALSE(write_terminal(alice.slave_path.c_str(), 1002, "intruder", 8));
    EXPECT_EQ(alice.read_available(300), "");
    EXPECT_TRUE(write_terminal(alice.slave_path.c_str(), 1001, "hello\n", 6));
    EXPECT_EQ(alice.read_available(500), "hello\r\n"); // the terminal's own newline handling
    // A console that is not the user's device is not written either.
    EXPECT_FALSE(write_terminal("/dev/null", 1001, "x", 1));
    temp_dir d;
    write_text(d / "plain", "");
    chown((d / "plain").c_str(), 1001, 1001);
    EXPECT_FALSE(write_terminal((d / "plain").c_str(), 1001, "x", 1)); // not a device
    EXPECT_EQ(read_text(d / "plain"), "");
}

TEST_F(Sessions, AStoppedTerminalCostsAboutThreeSeconds)
{
    test_pty alice = open_pty_for("alice");
    ASSERT_EQ(tcflow(alice.slave, TCOOFF), 0); // Ctrl-S
    std::string text(100000, 'x');
    timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    EXPECT_FALSE(write_terminal(alice.slave_path.c_str(), 1001, text.data(), text.size()));
    clock_gettime(CLOCK_MONOTONIC, &b);
    double took = (b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) / 1e9;
    EXPECT_GE(took, 2.0);
    EXPECT_LT(took, 4.5);
}
