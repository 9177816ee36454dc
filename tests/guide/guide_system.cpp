// The guide for real: an administrator's kelv --help goes through sudo, and
// root's guide runs on the terminal sudo gives it.
#include "system.h"
#include "tmux.h"

#include <gtest/gtest.h>
#include <string>

namespace {

// alice, on a terminal of tmux, runs kelv with the arguments and the extra
// environment; the shell then reports kelv's status.
std::string as_alice(const std::string &env, const std::string &args)
{
    return "exec setpriv --reuid=alice --regid=alice --init-groups env -i HOME=/home/alice "
           "PATH=/run/e2e/bin:/usr/local/bin:/usr/bin:/bin TERM=screen LC_ALL=C.UTF-8 " + env +
           " sh -c 'kelv " + args + "; echo status=$?; exec sleep 600'";
}

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
