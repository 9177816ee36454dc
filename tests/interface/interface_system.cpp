// The interface for real: alice, an administrator through sudo, runs kelv in
// a terminal emulator of hers, sees what root sent and revokes it; what bob
// wrote into his mailbox changes the counts and nothing else on her screen.
#include "common/common.h"
#include "system.h"
#include "tmux.h"

#include <gtest/gtest.h>

namespace {

const std::string kelv = "/usr/local/bin/kelv";

class Interface : public system_test {};

run_result as_alice(const std::vector<std::string> &argv, const run_options &opt)
{
    return run_as("alice", argv, opt);
}

} // namespace

TEST_F(Interface, AnAdministratorThroughSudoRevokesWhatRootSent)
{
    const std::string n = std::to_string(fresh_message_numbers());
    run_result r = run_program({kelv, "send", "--to", "bob", "--title", "Root's notice", "Maintenance at noon."});
    ASSERT_EQ(r.status, 0) << r.err;
    // bob confirms, with terminal controls in his record's channel text.
    r = run_as("bob", {"sh", "-c",
                       "printf '%s \\033]0;pwned\\007\\033[2J\\n' \"$(date +%s)\" > /var/lib/kelvora/users/bob/acks/" +
                           n + ".tmp && mv /var/lib/kelvora/users/bob/acks/" + n + ".tmp /var/lib/kelvora/users/bob/acks/" + n});
    ASSERT_EQ(r.status, 0) << r.err;

    tmux_session t(100, 30,
                   "stty -g > /home/alice/stty.before; sudo kelv; echo \"[kelv ended: $?]\"; "
                   "stty -g > /home/alice/stty.tmp; mv /home/alice/stty.tmp /home/alice/stty.after; exec sleep 100000",
                   as_alice);
    ASSERT_TRUE(t.wait_for("Maintenance at noon.", 10000)) << t.screen();
    std::string screen = t.screen();
    EXPECT_NE(screen.find("│ >" + n + "  "), std::string::npos) << screen;
    EXPECT_NE(screen.find("Root's notice · Maintenance at noon."), std::string::npos) << screen;
    EXPECT_NE(screen.find("████████████  1/1"), std::string::npos) << screen;
    EXPECT_NE(t.pane_title(), "pwned");

    t.keys({"r"});
    ASSERT_TRUE(t.wait_for("─ Revoke message " + n + "? ")) << t.screen();
    EXPECT_TRUE(t.wait_for("«Root's notice» · all confirmed (1)")) << t.screen();
    t.keys({"y"});
    ASSERT_TRUE(t.wait_for("│  Message " + n + " revoked.")) << t.screen();
    EXPECT_TRUE(exists("/var/lib/kelvora/sent/" + n + "/revoked"));
    EXPECT_NE(run_program({kelv, "status", n}).out.find("REVOKED on"), std::string::npos);
    // The revocation is alice's, as with kelv revoke through sudo.
    std::vector<journal_entry> revoked = journal_read({"KELV_EVENT=REVOKED", "KELV_MESSAGE=" + n});
    ASSERT_EQ(revoked.size(), 1u);
    EXPECT_EQ(revoked[0].get("KELV_AUTHOR"), "alice");
    EXPECT_EQ(revoked[0].get("_UID"), "0");

    t.keys({"x"});
    ASSERT_TRUE(t.wait_for("[revoked] Root's notice")) << t.screen();
    t.keys({"q"});
    ASSERT_TRUE(t.wait_for("[kelv ended: 0]")) << t.screen();
    for (int i = 0; i < 250 && !exists("/home/alice/stty.after"); i++)
        usleep(20000);
    EXPECT_EQ(read_text("/home/alice/stty.after"), read_text("/home/alice/stty.before"));
    EXPECT_NE(read_text("/home/alice/stty.before"), "");
}
