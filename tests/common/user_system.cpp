// Users, groups and run_as_user as root on the test accounts.
#include "common/common.h"
#include "system.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Users : public system_test {};

std::string joined(const strlist &l)
{
    std::string s;
    for (size_t i = 0; i < l.count; i++)
        s += std::string(l.items[i]) + " ";
    return s;
}

int report_identity(void *)
{
    uid_t r, e, s;
    gid_t rg, eg, sg;
    getresuid(&r, &e, &s);
    getresgid(&rg, &eg, &sg);
    gid_t groups[32];
    int n = getgroups(32, groups);
    printf("%u %u %u %u %u %u |", r, e, s, rg, eg, sg);
    for (int i = 0; i < n; i++)
        printf(" %u", groups[i]);
    printf(" | %d", setuid(0) == 0);
    return 0;
}

int hang(void *)
{
    printf("%d\n", getpid());
    fflush(stdout);
    for (;;)
        pause();
}

// Looks a name up in a file system that never answers: the child sleeps
// where SIGKILL cannot reach it.
int enter(void *arg)
{
    struct stat st;
    return stat(static_cast<const char *>(arg), &st) == 0 ? 0 : 1;
}

int write_probe(void *arg)
{
    // A file created by the child must belong to the user.
    int fd = open(static_cast<const char *>(arg), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    return fd < 0 ? 1 : 0;
}

int count_input(void *)
{
    textbuf in;
    read_fd(0, SIZE_MAX, in);
    printf("%zu", in.len);
    return 0;
}

// login_defs_value against the given file, bound over /etc/login.defs in a
// private mount namespace of a child.
std::string login_defs_with(const std::string &content, const char *key)
{
    temp_dir d;
    write_text(d / "login.defs", content);
    return run_in_child([&] {
        if (unshare(CLONE_NEWNS) < 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 ||
            mount((d / "login.defs").c_str(), "/etc/login.defs", nullptr, MS_BIND, nullptr) < 0) {
            printf("mount failed: %s", strerror(errno));
            return;
        }
        printf("%lld", static_cast<long long>(login_defs_value(key, -1)));
    }).out;
}

} // namespace

TEST_F(Users, RunAsUserTakesEveryIdAndTheGroupsForGood)
{
    user_info alice;
    ASSERT_TRUE(user_lookup("alice", alice));
    textbuf out;
    ASSERT_EQ(run_as_user(alice, report_identity, nullptr, nullptr, &out, 4096, 5), 0);
    std::string s = textbuf_str(out);
    EXPECT_EQ(s.substr(0, s.find('|')), "1001 1001 1001 1001 1001 1001 ");
    for (const char *g : {" 50", " 1001", " 1100"})
        EXPECT_NE(s.find(g), std::string::npos) << s;
    EXPECT_EQ(s.substr(s.rfind('|')), "| 0");

    temp_dir d;
    chmod(d.path.c_str(), 0777);
    std::string probe = d / "probe";
    ASSERT_EQ(run_as_user(alice, write_probe, const_cast<char *>(probe.c_str()), nullptr, nullptr, 0, 5), 0);
    struct stat st;
    ASSERT_EQ(stat(probe.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1001u);
    EXPECT_EQ(st.st_gid, 1001u);
    EXPECT_EQ(st.st_mode & 0777, 0644u); // the child's mask is 022
}

TEST_F(Users, RootIsNeverATarget)
{
    user_info root;
    ASSERT_TRUE(user_lookup("root", root));
    textbuf out;
    EXPECT_EQ(run_as_user(root, report_identity, nullptr, nullptr, &out, 4096, 5), -1);
    EXPECT_EQ(out.len, 0u); // the function never ran
}

TEST_F(Users, AnOverrunningChildAsTheUserIsKilledAndReaped)
{
    user_info bob;
    ASSERT_TRUE(user_lookup("bob", bob));
    textbuf out;
    EXPECT_EQ(run_as_user(bob, hang, nullptr, nullptr, &out, 100, 1), -1);
    pid_t pid = atoi(textbuf_str(out));
    ASSERT_GT(pid, 0);
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(Users, AChildThatCannotDieCostsItsLimitAndHoldsNoLockOfTheCaller)
{
    mkdir("/run/e2e/hang", 0755);
    chown("/run/e2e/hang", 1002, 1002);
    hanging_fs fs = mount_hanging_fs("/run/e2e/hang", "bob");
    temp_dir d;
    std::string lock = d / "lock";
    // In a child of the test, so that a wait without end fails the test
    // instead of holding it up.
    run_result r = run_in_child([&] {
        user_info bob;
        int held = open(lock.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (!user_lookup("bob", bob) || held < 0 || flock(held, LOCK_EX) < 0)
            return;
        int64_t start = monotonic_ms();
        int rc = run_as_user(bob, enter, const_cast<char *>("/run/e2e/hang/x"), nullptr, nullptr, 0, 2);
        printf("%d %lld ", rc, static_cast<long long>(monotonic_ms() - start));
        close(held);
        int again = open(lock.c_str(), O_WRONLY | O_CLOEXEC);
        printf("%s", flock(again, LOCK_EX | LOCK_NB) == 0 ? "free" : "held");
    });
    int rc = 0;
    long long took = 0;
    char lock_state[8] = "";
    ASSERT_EQ(sscanf(r.out.c_str(), "%d %lld %7s", &rc, &took, lock_state), 3) << r.out << r.err;
    EXPECT_EQ(rc, -1);
    EXPECT_GE(took, 1900);
    EXPECT_LT(took, 4000);
    EXPECT_STREQ(lock_state, "free");
}

TEST_F(Users, LargeInputReachesAChildOfAnotherIdentity)
{
    user_info dave;
    ASSERT_TRUE(user_lookup("dave", dave));
    textbuf in, out;
    std::string big(3 << 20, 'k');
    textbuf_append(in, big.data(), big.size());
    EXPECT_EQ(run_as_user(dave, count_input, nullptr, &in, &out, 100, 20), 0);
    EXPECT_STREQ(textbuf_str(out), std::to_string(big.size()).c_str());
}

TEST_F(Users, LookupsAndHumanAccounts)
{
    user_info u;
    EXPECT_TRUE(user_lookup("dave", u));
    EXPECT_EQ(u.uid, 1004u);
    EXPECT_EQ(u.gid, 1100u);
    EXPECT_TRUE(user_lookup_uid(1001, u));
    EXPECT_STREQ(u.name, "alice");
    errno = EINVAL;
    EXPECT_FALSE(user_lookup("nobody-here", u));
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(u.name, nullptr);

    strlist humans;
    strlist_push_copy(humans, "zed"); // kept, and sorted in
    list_human_users(humans);
    std::string all = " " + joined(humans);
    for (const char *h : {" alice ", " bob ", " dave ", " zed "})
        EXPECT_NE(all.find(h), std::string::npos) << h;
    for (const char *not_human : {" carol ", " erin ", " root "})
        EXPECT_EQ(all.find(not_human), std::string::npos) << not_human;
    for (size_t i = 1; i < humans.count; i++)
        EXPECT_LT(strcmp(humans.items[i - 1], humans.items[i]), 0);
}

TEST_F(Users, GroupMembersThenPrimaryMembersEachOnce)
{
    strlist ops;
    ASSERT_TRUE(list_group_members("ops", ops));
    EXPECT_EQ(joined(ops), "alice carol dave ");
    strlist staff;
    strlist_push_copy(staff, "bob");
    ASSERT_TRUE(list_group_members("staff", staff));
    EXPECT_EQ(joined(staff), "bob alice ");
    strlist none;
    EXPECT_FALSE(list_group_members("no-such-group", none));
}

TEST_F(Users, LoginDefsTakesTheLastWholeKeyOnItsOwnLine)
{
    EXPECT_EQ(login_defs_with("UID_MIN 500\nUID_MIN\t2000\n", "UID_MIN"), "2000");
    EXPECT_EQ(login_defs_with("#UID_MIN 5\n# UID_MIN 6\n", "UID_MIN"), "-1");
    EXPECT_EQ(login_defs_with("UID_MINIMUM 5\nUID_MIN\n7\n", "UID_MIN"), "-1");
    EXPECT_EQ(login_defs_with("UID_MAX 60000 trailing words\n", "UID_MAX"), "60000");
    EXPECT_EQ(login_defs_with("", "UID_MAX"), "-1");
}
