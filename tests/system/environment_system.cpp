// The real-system environment itself: the accounts, identities, journal,
// login sessions, terminals, sudo and stand-ins that later tests rely on are
// real, as specified, and private to the namespace.
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
#include <systemd/sd-journal.h>
#include <systemd/sd-login.h>
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

std::vector<std::string> lines(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

std::string owned(char *s)
{
    std::string out = s ? s : "";
    free(s);
    return out;
}

std::vector<std::string> sessions()
{
    char **ids = nullptr;
    int n = sd_get_sessions(&ids);
    std::vector<std::string> out;
    for (int i = 0; i < n; i++) {
        out.push_back(ids[i]);
        free(ids[i]);
    }
    free(ids);
    return out;
}

// Waits up to five seconds for path to exist and returns its content.
std::string wait_for_file(const std::string &path)
{
    for (int i = 0; i < 250 && !exists(path); i++)
        usleep(20000);
    return read_text(path);
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

TEST_F(SystemEnv, UsersGetTheGroupsInitgroupsGives)
{
    struct want {
        const char *name;
        std::set<std::string> groups;
    };
    for (const want &w :
         {want{"alice", {"1001", "50", "1100"}}, want{"bob", {"1002", "50"}},
          want{"carol", {"1003", "1100"}}, want{"dave", {"1100"}}, want{"erin", {"999"}}}) {
        run_result r = run_as(w.name, {"id", "-G"});
        EXPECT_EQ(r.status, 0) << w.name << ": " << r.err;
        EXPECT_EQ(words(r.out), w.groups) << w.name;
    }
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

TEST_F(SystemEnv, JournalKeepsTheSenderAndCustomFields)
{
    std::string mark = "mark-" + std::to_string(getpid()) + "-" + std::to_string(time(nullptr));
    ASSERT_EQ(sd_journal_send("MESSAGE=from root", "PRIORITY=5", "KELV_TEST_MARK=%s", mark.c_str(),
                              "KELV_TEST_DETAIL=a=b c", nullptr),
              0);
    run_options o;
    o.input = "MESSAGE=from alice\nKELV_TEST_MARK=" + mark + "\nKELV_TEST_DETAIL=x\n";
    o.has_input = true;
    run_result r = run_as("alice", {"logger", "--journald"}, o);
    ASSERT_EQ(r.status, 0) << r.err;

    std::vector<journal_entry> both = journal_read({"KELV_TEST_MARK=" + mark});
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[0].get("MESSAGE"), "from root");
    EXPECT_EQ(both[0].get("_UID"), "0");
    EXPECT_EQ(both[0].get("PRIORITY"), "5");
    EXPECT_EQ(both[0].get("KELV_TEST_DETAIL"), "a=b c");
    EXPECT_EQ(both[1].get("MESSAGE"), "from alice");
    EXPECT_EQ(both[1].get("_UID"), "1001");
    EXPECT_EQ(both[1].get("_GID"), "1001");
    EXPECT_EQ(both[1].get("KELV_TEST_DETAIL"), "x");
    EXPECT_GT(both[0].realtime_usec, 0u);
    EXPECT_LE(both[0].realtime_usec, both[1].realtime_usec);

    // Every match must hold, also two on the same field.
    std::vector<journal_entry> alice = journal_read({"KELV_TEST_MARK=" + mark, "_UID=1001"});
    ASSERT_EQ(alice.size(), 1u);
    EXPECT_EQ(alice[0].get("MESSAGE"), "from alice");
    EXPECT_TRUE(journal_read({"KELV_TEST_MARK=" + mark, "_UID=1002"}).empty());
    EXPECT_TRUE(journal_read({"KELV_TEST_MARK=" + mark, "_UID=0", "_UID=1001"}).empty());
}

TEST_F(SystemEnv, SessionFilesAreWhatSdLoginReads)
{
    session_write("7", {"UID=1001", "USER=alice", "ACTIVE=1", "STATE=active", "REMOTE=0",
                        "TYPE=x11", "CLASS=user", "TTY=tty2", "DISPLAY=:99"});
    struct stat st;
    ASSERT_EQ(stat("/run/systemd/sessions/7", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(sessions(), std::vector<std::string>{"7"});

    uid_t uid = 0;
    EXPECT_EQ(sd_session_get_uid("7", &uid), 0);
    EXPECT_EQ(uid, 1001u);
    char *text = nullptr;
    EXPECT_GE(sd_session_get_class("7", &text), 0);
    EXPECT_EQ(owned(text), "user");
    EXPECT_GE(sd_session_get_type("7", &(text = nullptr)), 0);
    EXPECT_EQ(owned(text), "x11");
    EXPECT_GE(sd_session_get_tty("7", &(text = nullptr)), 0);
    EXPECT_EQ(owned(text), "tty2");
    EXPECT_GE(sd_session_get_display("7", &(text = nullptr)), 0);
    EXPECT_EQ(owned(text), ":99");
    EXPECT_GE(sd_session_get_state("7", &(text = nullptr)), 0);
    EXPECT_EQ(owned(text), "active");

    session_write("7", {"UID=1001", "USER=alice", "STATE=closing", "TYPE=x11", "CLASS=user"});
    EXPECT_GE(sd_session_get_state("7", &(text = nullptr)), 0);
    EXPECT_EQ(owned(text), "closing");

    session_remove("7");
    EXPECT_EQ(sessions(), std::vector<std::string>{});
    EXPECT_LT(sd_session_get_uid("7", &uid), 0);
}

TEST_F(SystemEnv, PtyOfAUserBelongsToThemAndCarriesBothWays)
{
    test_pty t = open_pty_for("alice");
    struct stat st;
    ASSERT_EQ(stat(t.slave_path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(st.st_uid, 1001u);
    struct group *tty = getgrnam("tty");
    ASSERT_NE(tty, nullptr);
    EXPECT_EQ(st.st_gid, tty->gr_gid);
    EXPECT_EQ(st.st_mode & 07777, 0620u);
    // A private devpts instance: only this test's terminal is there.
    EXPECT_EQ(list_dir("/dev/pts"), (std::vector<std::string>{t.slave_path.substr(9), "ptmx"}));

    // Root writing to the user's terminal, as a message delivery does.
    int fd = open(t.slave_path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "hello alice\n", 12), 12);
    close(fd);
    EXPECT_EQ(t.read_until("alice\r\n", 5000), "hello alice\r\n");
    EXPECT_EQ(t.read_available(100), "");

    // Typing reaches whoever reads the terminal.
    t.write("typed\n");
    struct pollfd p = {t.slave, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    char buf[64];
    ssize_t got = read(t.slave, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, got > 0 ? size_t(got) : 0), "typed\n");

    test_pty moved = std::move(t);
    EXPECT_EQ(t.master, -1);
    EXPECT_GE(moved.master, 0);
}

TEST_F(SystemEnv, ProcessOnPtyHasItAsControllingTerminal)
{
    pty_process p = spawn_on_pty("alice", {"tty"});
    EXPECT_EQ(p.wait_exit(5000), 0);
    EXPECT_TRUE(p.tty.starts_with("/dev/pts/"));
    EXPECT_EQ(p.output, p.tty + "\r\n");

    pty_process q =
        spawn_on_pty("alice",
                     {"sh", "-c",
                      "[ \"$(ps -o sid= -p $$)\" -eq $$ ] && echo leader; echo ready; read line; "
                      "echo \"got $line\" > /dev/tty; echo \"$(id -u) $KELV_X\""},
                     {"KELV_X=set"});
    ASSERT_TRUE(q.wait_for("ready", 5000)) << q.output;
    struct stat st;
    ASSERT_EQ(stat(q.tty.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1001u);
    q.send("abc\n");
    EXPECT_EQ(q.wait_exit(5000), 0);
    EXPECT_EQ(q.output, "leader\r\nready\r\nabc\r\ngot abc\r\n1001 set\r\n");
}

TEST_F(SystemEnv, WaitExitEndsAProcessThatOverstays)
{
    pty_process p = spawn_on_pty("bob", {"sleep", "60"});
    pid_t pid = p.pid;
    EXPECT_EQ(p.wait_exit(200), -1);
    EXPECT_EQ(p.pid, -1);
    errno = 0;
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(SystemEnv, SudoMakesAliceAndNobodyElseRoot)
{
    run_result r = run_as("alice", {"sudo", "--", "sh", "-c",
                                    "id -u; echo \"$SUDO_USER $SUDO_UID\"; echo \"$PATH\""});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "0\nalice "
              "1001\n/run/e2e/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin\n");

    run_result b = run_as("bob", {"sudo", "--", "id", "-u"});
    EXPECT_EQ(b.status, 1);
    EXPECT_EQ(b.out, "");
    EXPECT_NE(b.err.find("a password is required"), std::string::npos) << b.err;
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

TEST_F(SystemEnv, SystemdRunStandInStartsACommandAsTheUser)
{
    run_result r =
        run_program({"systemd-run", "--user", "--machine=alice@.host", "--collect", "--quiet", "sh",
                     "-c", "echo \"$(id -u) $(id -G) $XDG_RUNTIME_DIR\""});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string agent_log = "/run/e2e/log/agent-alice.log";
    for (int i = 0; i < 250 && read_text(agent_log).find('\n') == std::string::npos; i++)
        usleep(20000);
    EXPECT_EQ(read_text(agent_log), "1001 1001 50 1100 /run/user/1001\n");
    EXPECT_EQ(read_text("/run/e2e/log/systemd-run.calls"),
              "alice sh -c echo \"$(id -u) $(id -G) $XDG_RUNTIME_DIR\"\n");

    // No runtime directory, no user service manager.
    run_result carol = run_program({"systemd-run", "--user", "--machine=carol@.host", "true"});
    EXPECT_EQ(carol.status, 1);
    EXPECT_NE(carol.err.find("Failed to connect to bus"), std::string::npos) << carol.err;
}

TEST_F(SystemEnv, DialogAndNotificationStandInsRecordTheirCalls)
{
    pty_process dialog = spawn_on_pty("alice", {"zenity", "--question", "--text=Read it?"});
    EXPECT_EQ(wait_for_file("/run/e2e/log/zenity.calls"), "alice|--question|--text=Read it?|\n");
    // Root answers; the user's stand-in takes the answer away.
    write_text("/run/e2e/log/answer.alice", "1\n");
    EXPECT_EQ(dialog.wait_exit(5000), 1);
    EXPECT_FALSE(exists("/run/e2e/log/answer.alice"));

    run_result r = run_as("bob", {"notify-send", "Title", "Body text"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_text("/run/e2e/log/notify-send.calls"), "bob|Title|Body text|\n");
}

TEST_F(SystemEnv, ProgramsAreInstalledWhereARealInstallationPutsThem)
{
    for (auto [installed, built] :
         {std::pair{"/usr/local/bin/kelv", kelv_path()},
          std::pair{"/usr/local/lib/kelvora/kelvora-user", kelvora_user_path()}}) {
        SCOPED_TRACE(installed);
        struct stat st;
        ASSERT_EQ(stat(installed, &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
        EXPECT_TRUE(read_text(installed) == read_text(built)) << "differs from " << built;
    }
    run_result r = run_program({"kelv", "version"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, run_program({kelv_path(), "version"}).out);
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
    for (const char *layered : {"/etc", "/var/lib", "/usr/local"})
        EXPECT_EQ(m[layered], "overlay") << layered;
    EXPECT_EQ(m["/dev/pts"], "devpts");
}

TEST_F(SystemEnv, XvfbServesTheUsers)
{
    std::string display = start_xvfb();
    ASSERT_TRUE(display.starts_with(":")) << display;
    EXPECT_EQ(start_xvfb(), display);
    run_options o;
    o.env = {"DISPLAY=" + display};
    run_result r = run_as("alice", {"xdotool", "getdisplaygeometry"}, o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1024 768\n");
}
