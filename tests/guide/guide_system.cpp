// The guide for real: an administrator's kelv --help goes through sudo, and
// root's guide runs on the terminal sudo gives it. Its pager, a shell away
// from its user's rights, never runs as root for someone who came through
// sudo.
#include "system.h"
#include "tmux.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// user, on a terminal of tmux, runs the command line (kelv and its arguments
// by default) with the extra environment; the shell then reports its status.
std::string as_user(const std::string &user, const std::string &env, const std::string &args,
                    const std::string &command = "kelv")
{
    return "exec setpriv --reuid=" + user + " --regid=" + user + " --init-groups env -i HOME=/home/" + user +
           " PATH=/run/e2e/bin:/usr/local/bin:/usr/bin:/bin TERM=screen LC_ALL=C.UTF-8 " + env + " sh -c '" +
           command + " " + args + "; echo status=$?; exec sleep 600'";
}

std::string as_alice(const std::string &env, const std::string &args) { return as_user("alice", env, args); }

// The real user IDs of the running processes named name.
std::vector<uid_t> process_uids(const std::string &name)
{
    std::vector<uid_t> uids;
    for (const std::string &pid : list_dir("/proc")) {
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        struct stat st;
        if (read_text("/proc/" + pid + "/comm") == name + "\n" && stat(("/proc/" + pid).c_str(), &st) == 0)
            uids.push_back(st.st_uid);
    }
    return uids;
}

// A sudoers rule of the test's, gone with it.
struct sudo_rule {
    std::string path;
    sudo_rule(const std::string &name, const std::string &rule) : path("/etc/sudoers.d/" + name)
    {
        write_text(path, rule + "\n", 0440);
    }
    ~sudo_rule() { unlink(path.c_str()); }
};

} // namespace

using GuideSystem = system_test;

TEST_F(GuideSystem, AnAdministratorGetsTheGuideThroughSudo)
{
    {
        tmux_session t(80, 24, as_alice("", "--help"));
        ASSERT_TRUE(t.wait_for("lines 1-18/26 │")) << t.screen();
        EXPECT_EQ(t.rows()[0].rfind("┌─ kelv — guide ─", 0), 0u);
        t.keys({"Tab"});
        ASSERT_TRUE(t.wait_for("lines 1-18/43 │")) << t.screen();
        t.keys({"q"});
        ASSERT_TRUE(t.wait_for("status=0")) << t.screen();
        EXPECT_EQ(t.format("#{alternate_on} #{cursor_flag}"), "0 1");
    }
    // sudo resets the environment: alice's PAGER does not reach root's
    // kelv, which pages with less, as the guide says.
    {
        temp_dir d;
        tmux_session t(43, 10, as_alice("PAGER='touch " + d / "pager-ran" + "'", "help"));
        ASSERT_TRUE(t.wait_for("KELV(1)")) << t.screen();
        EXPECT_EQ(t.rows().back(), ":") << t.screen();
        t.keys({"q"});
        ASSERT_TRUE(t.wait_for("status=0")) << t.screen();
        EXPECT_FALSE(exists(d / "pager-ran"));
    }
}

TEST_F(GuideSystem, ThePagerNeverGivesAShellAsRoot)
{
    const std::string shell_ran = "/run/e2e/log/pager-shell";
    // In a terminal too small for the interactive guide the manual is paged
    // with less, which runs as uid; its shell escape must run nothing.
    auto paged_by_less_as = [&](const std::string &command, uid_t uid) {
        tmux_session t(40, 8, command);
        ASSERT_TRUE(t.wait_for("KELV(1)", 10000)) << t.screen();
        EXPECT_EQ(process_uids("less"), std::vector<uid_t>{uid});
        t.type("!id > " + shell_ran);
        t.keys({"Enter"});
        t.keys({"q"});
        ASSERT_TRUE(t.wait_for("status=0")) << t.screen();
        EXPECT_FALSE(exists(shell_ran));
    };
    // A helpdesk account allowed kelv through sudo and nothing more.
    sudo_rule rule("kelvora-carol", "carol ALL=(root) NOPASSWD: /usr/local/bin/kelv");
    paged_by_less_as(as_user("carol", "", "--help"), 1003);
    // A PAGER that sudo lets through runs as the account that called sudo.
    {
        tmux_session t(40, 8,
                       as_user("alice", "", "help",
                               "sudo PAGER=\"sh -c \\\"id -u > " + shell_ran + "\\\"\" kelv"));
        ASSERT_TRUE(t.wait_for("status=0", 10000)) << t.screen();
        EXPECT_EQ(read_text(shell_ran), "1001\n");
        unlink(shell_ran.c_str());
    }
    // Root's own kelv pages with less in its secure mode, whatever PAGER says.
    paged_by_less_as("PAGER='touch " + shell_ran + "' kelv help; echo status=$?; exec sleep 600", 0);
}
