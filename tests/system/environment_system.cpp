// The real-system environment itself: the test accounts that every other
// test relies on, a clean state for each test, and a namespace that keeps
// everything away from the host. The journal, sessions, terminals, sudo and
// stand-ins are exercised by the tests of the programs themselves.
#include "system.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class SystemEnv : public system_test {};

std::set<std::string> words(const std::string &text)
{
    std::istringstream in(text);
    std::set<std::string> out;
    for (std::string w; in >> w;)
        out.insert(w);
    return out;
}

// Mount point -> filesystem type of the topmost mount, and whether any mount
// shares propagation with another namespace.
std::map<std::string, std::string> mounts(bool &propagates)
{
    std::map<std::string, std::string> out;
    propagates = false;
    for (const std::string &line : lines(read_text("/proc/self/mountinfo"))) {
        std::istringstream in(line);
        std::vector<std::string> f;
        for (std::string w; in >> w;)
            f.push_back(w);
        size_t dash = 6;
        while (dash < f.size() && f[dash] != "-") {
            if (f[dash].starts_with("shared:") || f[dash].starts_with("master:"))
                propagates = true;
            dash++;
        }
        if (dash + 1 < f.size())
            out[f[4]] = f[dash + 1];
    }
    return out;
}

} // namespace

TEST_F(SystemEnv, AccountsAreTheTestAccounts)
{
    struct want {
        const char *name;
        uid_t uid;
        gid_t gid;
        const char *home;
        const char *shell;
    };
    for (const want &w : {want{"alice", 1001, 1001, "/home/alice", "/bin/bash"},
                          want{"bob", 1002, 1002, "/home/bob", "/bin/bash"},
                          want{"carol", 1003, 1003, "/home/carol", "/usr/sbin/nologin"},
                          want{"dave", 1004, 1100, "/home/dave", "/bin/bash"},
                          want{"erin", 999, 999, "/home/erin", "/bin/bash"}}) {
        SCOPED_TRACE(w.name);
        struct passwd *pw = getpwnam(w.name);
        ASSERT_NE(pw, nullptr);
        EXPECT_EQ(pw->pw_uid, w.uid);
        EXPECT_EQ(pw->pw_gid, w.gid);
        EXPECT_STREQ(pw->pw_dir, w.home);
        EXPECT_STREQ(pw->pw_shell, w.shell);
        struct passwd *by_uid = getpwuid(w.uid);
        ASSERT_NE(by_uid, nullptr);
        EXPECT_STREQ(by_uid->pw_name, w.name);
        // sudo's account check needs a shadow line even without a password.
        EXPECT_NE(
            read_text("/etc/shadow").find("\n" + std::string(w.name) + ":!:19000:0:99999:7:::\n"),
            std::string::npos);
    }

    struct members {
        const char *name;
        gid_t gid;
        std::set<std::string> listed;
    };
    for (const members &m :
         {members{"staff", 50, {"alice", "bob"}}, members{"ops", 1100, {"alice", "carol"}},
          members{"alice", 1001, {}}, members{"bob", 1002, {}}, members{"carol", 1003, {}},
          members{"erin", 999, {}}}) {
        SCOPED_TRACE(m.name);
        struct group *g = getgrnam(m.name);
        ASSERT_NE(g, nullptr);
        EXPECT_EQ(g->gr_gid, m.gid);
        std::set<std::string> listed;
        for (char **p = g->gr_mem; *p; p++)
            listed.insert(*p);
        EXPECT_EQ(listed, m.listed);
        struct group *by_gid = getgrgid(m.gid);
        ASSERT_NE(by_gid, nullptr);
        EXPECT_STREQ(by_gid->gr_name, m.name);
    }

    std::string defs = read_text("/etc/login.defs");
    std::set<std::string> settings;
    for (const std::string &l : lines(defs))
        if (l.starts_with("UID_MIN") || l.starts_with("UID_MAX"))
            settings.insert(l.substr(0, 7) + " " + *words(l.substr(7)).begin());
    EXPECT_EQ(settings, (std::set<std::string>{"UID_MAX 60000", "UID_MIN 1000"}));
}

TEST_F(SystemEnv, BenchAccountsExistOnlyWhenAskedFor)
{
    const char *asked = getenv("KELV_SYSTEM_BENCH_USERS");
    int count = asked ? atoi(asked) : 0;
    char name[32];
    if (count > 0) {
        snprintf(name, sizeof name, "bench%04d", count);
        struct passwd *pw = getpwnam(name);
        ASSERT_NE(pw, nullptr);
        EXPECT_EQ(pw->pw_uid, uid_t(20000 + count));
        EXPECT_EQ(pw->pw_gid, gid_t(20000 + count));
        EXPECT_STREQ(pw->pw_shell, "/bin/bash");
        ASSERT_NE(getgrnam(name), nullptr);
        EXPECT_NE(read_text("/etc/shadow").find(std::string(name) + ":!:"), std::string::npos);
    }
    snprintf(name, sizeof name, "bench%04d", count + 1);
    EXPECT_EQ(getpwnam(name), nullptr);
}

TEST_F(SystemEnv, RunAsChangesEveryIdAndCleansTheEnvironment)
{
    run_result r = run_as("bob", {"grep", "-E", "^(Uid|Gid|Groups):", "/proc/self/status"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> status = lines(r.out);
    ASSERT_EQ(status.size(), 3u) << r.out;
    // Real, effective, saved and filesystem ids.
    EXPECT_EQ(status[0].substr(4), "\t1002\t1002\t1002\t1002");
    EXPECT_EQ(status[1].substr(4), "\t1002\t1002\t1002\t1002");
    EXPECT_EQ(words(status[2].substr(7)), (std::set<std::string>{"50", "1002"}));

    // Root stays out of reach.
    run_result back =
        run_as("alice", {"setpriv", "--reuid=0", "--regid=0", "--clear-groups", "true"});
    EXPECT_NE(back.status, 0);

    run_options o;
    o.env = {"KELV_EXTRA=one two", "LANG"};
    run_result env = run_as("alice", {"env"}, o);
    ASSERT_EQ(env.status, 0) << env.err;
    std::vector<std::string> got = lines(env.out);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got,
              (std::vector<std::string>{"HOME=/home/alice", "KELV_EXTRA=one two", "LOGNAME=alice",
                                        "PATH=/run/e2e/bin:/usr/local/bin:/usr/bin:/bin",
                                        "USER=alice", "XDG_RUNTIME_DIR=/run/user/1001"}));

    EXPECT_EQ(run_as("dave", {"pwd"}).out, "/home/dave\n");
    o = {};
    o.cwd = "/tmp";
    EXPECT_EQ(run_as("dave", {"pwd"}, o).out, "/tmp\n");
}

TEST_F(SystemEnv, ResetRemovesWhatATestLeftBehind)
{
    ASSERT_EQ(mkdir("/var/lib/kelvora/users", 0755), 0);
    ASSERT_EQ(mkdir("/var/lib/kelvora/users/alice", 0700), 0);
    ASSERT_EQ(chown("/var/lib/kelvora/users/alice", 1001, 1001), 0);
    write_text("/var/lib/kelvora/users/alice/1", "mail");
    write_text("/run/e2e/log/zenity.calls", "alice|\n");
    write_text("/run/user/1001/agent.lock", "");
    session_write("3", {"UID=1001"});
    ASSERT_EQ(chmod("/run/e2e/log", 0755), 0);
    pty_process sleeper = spawn_on_pty("alice", {"sh", "-c", "echo up; exec sleep 60"});
    ASSERT_TRUE(sleeper.wait_for("up", 5000));

    system_reset();
    EXPECT_EQ(list_dir("/var/lib/kelvora"), std::vector<std::string>{});
    EXPECT_TRUE(exists("/var/lib/kelvora"));
    EXPECT_EQ(list_dir("/run/systemd/sessions"), std::vector<std::string>{});
    EXPECT_EQ(list_dir("/run/user/1001"), std::vector<std::string>{});
    for (const std::string &name : list_dir("/run/e2e/log"))
        EXPECT_TRUE(name == "journald.log" || name == "xvfb.log") << name;
    struct stat st;
    ASSERT_EQ(stat("/run/e2e/log", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
    ASSERT_EQ(stat("/run/user/1001", &st), 0);
    EXPECT_EQ(st.st_uid, 1001u);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(sleeper.wait_exit(5000), 128 + SIGKILL);
}

TEST_F(SystemEnv, NamespaceIsPrivate)
{
    // PID 1 is the environment's first process, not the machine's init.
    EXPECT_NE(read_text("/proc/1/cmdline").find("enter-namespace"), std::string::npos);

    bool propagates = true;
    std::map<std::string, std::string> m = mounts(propagates);
    EXPECT_FALSE(propagates) << "a mount shares propagation with the host";
    for (const char *fresh : {"/run", "/tmp", "/home", "/dev/shm", "/var/lib/kelvora",
                              "/etc/kelvora", "/usr/local/lib/kelvora"})
        EXPECT_EQ(m[fresh], "tmpfs") << fresh;
    for (const char *layered : {"/etc", "/usr", "/var/lib", "/var/log", "/var/cache", "/usr/local"})
        EXPECT_EQ(m[layered], "overlay") << layered;
    EXPECT_EQ(m["/dev/pts"], "devpts");
}


namespace {

// A checkout as a newcomer has it, in a directory only root may enter: the
// environment script, the built programs under build/src, and a command.
const char enter_command[] = "../tests/system/enter-namespace ../command";

struct closed_checkout {
    std::string top;      // 0700, as a home or a mktemp directory
    std::string checkout; // top/kelvora

    // A new directory under parent: a checkout this environment was
    // started from may lie beside it and must stay untouched.
    explicit closed_checkout(const std::string &parent)
    {
        std::string tmpl = parent + "/kelvora-env-XXXXXX";
        if (!mkdtemp(tmpl.data())) // 0700
            throw std::runtime_error("mkdtemp " + tmpl);
        top = tmpl;
        checkout = top + "/kelvora";
        if (run_program({"mkdir", "-p", checkout + "/tests/system", checkout + "/build/src"})
                .status != 0)
            throw std::runtime_error("mkdir " + checkout);
        copy(KELV_ENTER_NAMESPACE, checkout + "/tests/system/enter-namespace");
        copy("/usr/local/bin/kelv", checkout + "/build/src/kelv");
        copy("/usr/local/lib/kelvora/kelvora-user", checkout + "/build/src/kelvora-user");
    }
    ~closed_checkout() { run_program({"rm", "-rf", "--", top}); }

    static void copy(const std::string &from, const std::string &to)
    {
        if (run_program({"cp", "--", from, to}).status != 0)
            throw std::runtime_error("cp " + from);
    }

    // Writes script (bash) as the checkout's command and runs the shell
    // text run (by default: the environment with that command) from
    // build/, with relative paths to the programs, as ctest would from a
    // build tree there.
    run_result enter(const std::string &script, const std::string &run = enter_command)
    {
        write_text(checkout + "/command", "#!/bin/bash\n" + script, 0755);
        run_options o;
        o.cwd = checkout + "/build";
        o.env = {"KELV_BIN=src/kelv", "KELVORA_USER_BIN=src/kelvora-user", "KELV_SHELL_HOOKS",
                 "KELV_SKIP_SYSTEM_TESTS"};
        return run_program({"bash", "-c", run}, o);
    }
};

} // namespace

TEST_F(SystemEnv, StartsFromACheckoutOnlyRootCanEnter)
{
    // Under /home, which the environment replaces, and under /tmp.
    for (const char *parent : {"/home", "/tmp"}) {
        SCOPED_TRACE(parent);
        closed_checkout c(parent);
        run_result r = c.enter(
            "pwd; kelv version\n"
            "runuser -u alice -- /usr/local/lib/kelvora/kelvora-user prompt && echo prompt ran\n"
            "runuser -u alice -- test -x /usr/local/lib/kelvora/kelvora-user && echo reachable\n");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.checkout + "/build\n"
                             "Kelvora - Advanced Messaging System for Linux 0.2.0\n"
                             "prompt ran\nreachable\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(SystemEnv, ATerminatingSignalEndsTheWholeEnvironment)
{
    closed_checkout c("/tmp");
    std::string ready = c.checkout + "/ready";
    // The command would outlive any time limit unless the signal ends it,
    // and with it every process of the environment.
    write_text(c.checkout + "/command", "#!/bin/bash\ntouch " + ready + "; exec sleep 987654\n",
               0755);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        unlink(ready.c_str());
        // Started directly, not from a shell, which would start it with
        // SIGINT ignored.
        pid_t ns = fork();
        ASSERT_GE(ns, 0);
        if (ns == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            execl((c.checkout + "/tests/system/enter-namespace").c_str(), "enter-namespace",
                  (c.checkout + "/command").c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        int status = -1;
        for (int i = 0; i < 300 && !exists(ready); i++)
            usleep(100000);
        EXPECT_TRUE(exists(ready));
        kill(ns, sig);
        for (int i = 0; i < 300 && waitpid(ns, &status, WNOHANG) == 0; i++)
            usleep(100000);
        if (status == -1) {
            kill(ns, SIGKILL);
            waitpid(ns, &status, 0);
            ADD_FAILURE() << "the environment outlived the signal by 30 s";
        }
        EXPECT_EQ(decode_status(status), 128 + sig);
    }
    EXPECT_EQ(run_program({"pgrep", "-f", "sleep 987654"}).out, "");
}

TEST_F(SystemEnv, AJournaldThatDiesAfterItsSocketsIsReportedInOneLine)
{
    closed_checkout c("/tmp");
    // journald creates its sockets, then dies as it does without a cgroup
    // file system. It does so aside, so that its sockets appear only once
    // it is dead, whatever the load.
    closed_checkout::copy("/lib/systemd/systemd-journald", c.checkout + "/real-journald");
    write_text(c.checkout + "/journald",
               "#!/bin/bash\n"
               "d=/run/aside; mkdir $d\n"
               "unshare --mount bash -c 'mount --bind /run/aside /run/systemd/journal && exec " +
                   c.checkout + "/real-journald' & p=$!\n"
               "while [ ! -S $d/socket ]; do sleep 0.05; done\n"
               "kill -KILL $p; wait $p\n"
               "mv $d/* /run/systemd/journal/\n"
               "echo 'Failed to acquire cgroup root path: No medium found'\n"
               "exit 1\n",
               0755);
    run_result r = c.enter("echo the tests ran\n",
                           "unshare --mount --propagation private bash -c 'mount --bind " +
                               c.checkout + "/journald /lib/systemd/systemd-journald && " +
                               enter_command + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "real-system tests: cannot set up the environment: systemd-journald does "
                     "not answer: Failed to acquire cgroup root path: No medium found (set "
                     "KELV_SKIP_SYSTEM_TESTS=1 to skip them)\n");
}
