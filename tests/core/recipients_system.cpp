// Recipient words against the test accounts and login sessions.
#include "core/core.h"
#include "system.h"

#include <gtest/gtest.h>

namespace {

class Recipients : public system_test {};

run_result resolve(const char *text)
{
    return run_in_child([text] {
        program_name = "kelv";
        strlist l;
        resolve_recipients(text, l);
        for (size_t i = 0; i < l.count; i++)
            printf("%s ", l.items[i]);
    });
}

bool has(const std::string &list, const std::string &name)
{
    return (" " + list).find(" " + name + " ") != std::string::npos;
}

} // namespace

TEST_F(Recipients, GroupsListTheirMembersThenPrimaryMembers)
{
    EXPECT_EQ(resolve("@ops").out, "alice carol dave ");
    EXPECT_EQ(resolve("@staff,bob,@ops").out, "alice bob carol dave ");
    run_result r = resolve("@nobody-group");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kelv: no such group: nobody-group\n");
}

TEST_F(Recipients, AllIsEveryHumanAndNamedUsersAreAddedAsTheyAre)
{
    std::string all = resolve("all").out;
    for (const char *h : {"alice", "bob", "dave"})
        EXPECT_TRUE(has(all, h)) << h;
    for (const char *n : {"carol", "erin", "root"})
        EXPECT_FALSE(has(all, n)) << n;
    std::string more = resolve("all,root,erin").out;
    EXPECT_TRUE(has(more, "root"));
    EXPECT_TRUE(has(more, "erin"));
}

TEST_F(Recipients, OnlineFollowsTheLoginSessions)
{
    EXPECT_EQ(resolve("online").out, "");
    session_write("1", {"UID=1002", "USER=bob", "CLASS=user", "TYPE=tty", "STATE=active"});
    session_write("2", {"UID=1001", "USER=alice", "CLASS=greeter", "TYPE=x11", "STATE=online"});
    EXPECT_EQ(resolve("online").out, "bob ");
    EXPECT_EQ(resolve("online,alice").out, "alice bob ");
}

TEST_F(Recipients, CountPrintsTheNumberOrTheResolutionError)
{
    run_result r = run_in_child([] { count_recipients("@ops,bob"); });
    EXPECT_EQ(r.out, "4\n");
    r = run_in_child([] {
        program_name = "kelv";
        count_recipients("alice,ghost");
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kelv: no such user: ghost\n");
}

TEST_F(Recipients, ANameThatIsNotOnePathComponentNeverBecomesAPath)
{
    // An account named "../kelv-x", as a careless import could leave one: its
    // mailbox would be D/kelv-x, outside D/users.
    const std::string passwd = "/run/e2e/etc/passwd";
    std::string saved = read_text(passwd);
    write_text(passwd, saved + "../kelv-x:x:1005:1005:Odd:/home/odd:/bin/bash\n");
    run_result r = run_program({"/usr/local/bin/kelv", "send", "--to", "../kelv-x,alice", "x"});
    write_text(passwd, saved);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Message 1 delivered to 1 of 2 recipients.\n");
    EXPECT_EQ(list_dir("/var/lib/kelvora"), (std::vector<std::string>{"sent", "users"}));
    EXPECT_EQ(list_dir("/var/lib/kelvora/users"), std::vector<std::string>{"alice"});
}
