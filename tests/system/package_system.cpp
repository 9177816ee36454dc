// The Debian package on a machine where Kelvora was never installed: apt
// installs it with what it depends on, the installed programs and hooks carry
// a message from kelv to alice's terminal, desktop and bash login and her
// confirmation back into kelv's report, and dpkg then removes and purges the
// package while the message store, the administrator's records, stays.
//
// Runs in an environment of its own (ctest's package_install, with KELV_DEB
// naming the built package), not beside a build installed under /usr/local.
#include "../user/helper_system.h"

#include <gtest/gtest.h>
#include <set>

using namespace helper_system;

namespace {

const std::string installed_kelv = "/usr/bin/kelv";
const std::string installed_helper = "/usr/lib/kelvora/kelvora-user";
const std::set<std::string> conffiles = {"/etc/fish/conf.d/kelvora.fish", "/etc/kelvora/kelvora.conf",
                                         "/etc/profile.d/kelvora.sh", "/etc/zsh/kelvora.zsh"};

class Package : public system_test {
  protected:
    std::string deb;

    void SetUp() override
    {
        system_test::SetUp();
        if (IsSkipped())
            return;
        const char *d = getenv("KELV_DEB");
        if (!d || !*d)
            GTEST_SKIP() << "needs KELV_DEB, the built package: ctest runs this as package_install";
        deb = d;
        ASSERT_FALSE(exists("/usr/local/bin/kelv"))
            << "a build is installed under /usr/local here: the package needs an environment of its own";
    }
};

std::string query(const std::string &format)
{
    return run_program({"dpkg-query", "-W", "-f=" + format, "kelvora"}).out;
}

// The number in kelv send's line of success.
int64_t sent_number(const run_result &r)
{
    long long n = 0;
    if (r.status != 0 || sscanf(r.out.c_str(), "Message %lld sent to 1 users.\n", &n) != 1)
        throw std::runtime_error("kelv send failed (" + std::to_string(r.status) + "): " + r.out + r.err);
    return n;
}

// A bash login shell of alice's on a terminal of hers, at the prompt "P> ".
pty_process bash_login()
{
    pty_process p = spawn_on_pty("alice", {"bash", "-l"}, user_env({"TERM=dumb"}));
    p.send("PS1='P''> '\r");
    if (!p.wait_for("P> ", 10000))
        throw std::runtime_error("no prompt from bash -l: " + p.output);
    return p;
}

// Ends the shell and returns everything it showed.
std::string leave(pty_process &p)
{
    p.send("exit\r");
    EXPECT_EQ(p.wait_exit(10000), 0) << p.output;
    return p.output;
}

// What a message store must still hold after the package is gone: message 1
// with alice's confirmation and the copy of message 2 she never answered.
void expect_store_kept(int64_t confirmed, int64_t waiting)
{
    EXPECT_TRUE(exists("/var/lib/kelvora/sent/" + std::to_string(confirmed) + "/msg"));
    EXPECT_TRUE(exists(box("acks", confirmed)));
    EXPECT_TRUE(exists("/var/lib/kelvora/sent/" + std::to_string(waiting) + "/msg"));
    EXPECT_TRUE(exists(box("inbox", waiting)));
}

} // namespace

TEST_F(Package, InstallsAWorkingSystemAndLeavesOnlyTheStoreBehind)
{
    // apt resolves the dependencies from what is installed or configured.
    run_options apt;
    apt.cwd = deb.substr(0, deb.rfind('/'));
    apt.env = {"DEBIAN_FRONTEND=noninteractive"};
    apt.timeout_seconds = 300;
    run_result r = run_program({"apt-get", "install", "-y", "-q", "./" + deb.substr(deb.rfind('/') + 1)}, apt);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_EQ(query("${Status}"), "install ok installed");

    std::set<std::string> listed;
    for (const std::string &line : lines(query("${Conffiles}\n")))
        if (!line.empty())
            listed.insert(line.substr(1, line.find(' ', 1) - 1));
    EXPECT_EQ(listed, conffiles);
    for (const std::string &path : lines(run_program({"dpkg", "-L", "kelvora"}).out))
        EXPECT_FALSE(path.starts_with("/usr/local")) << path;
    r = run_program({installed_kelv, "version"});
    EXPECT_TRUE(r.out.ends_with(" " + query("${Version}") + "\n")) << r.out;

    // kelv starts the desktop agent from where the package put the helper.
    session_write("2", {"UID=1001", "USER=alice", "ACTIVE=1", "STATE=active", "REMOTE=0", "TYPE=x11",
                        "CLASS=user", "TTY=tty2", "DISPLAY=" + start_xvfb()});
    pty_process shell = bash_login();
    int64_t n = sent_number(run_program({installed_kelv, "send", "--to", "alice", "--title", "Package",
                                         "Installed by apt."}));
    EXPECT_EQ(read_text("/run/e2e/log/systemd-run.argv"),
              "--user --machine=alice@.host --collect --quiet " + installed_helper + " agent\n");
    EXPECT_TRUE(eventually([] { return read_text("/run/e2e/log/zenity.calls").find("Installed by apt.") !=
                                       std::string::npos; },
                           10000))
        << "the installed agent showed no dialog";

    // The banner on her terminal at once; the installed hook asks at her next
    // prompt.
    ASSERT_TRUE(shell.wait_for("Installed by apt.", 5000)) << shell.output;
    shell.send("\r");
    ASSERT_TRUE(shell.wait_for(question, 5000)) << shell.output;
    shell.send("y\r");
    ASSERT_TRUE(shell.wait_for(question + "y\r\n[Kelvora] Confirmed.\r\n", 5000)) << shell.output;
    leave(shell);

    r = run_program({installed_kelv, "status", std::to_string(n)});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string alice_line;
    for (const std::string &line : lines(r.out))
        if (line.starts_with("alice "))
            alice_line = line;
    EXPECT_NE(alice_line.find(" confirmed on "), std::string::npos) << r.out;
    EXPECT_TRUE(alice_line.ends_with("(terminal " + shell.tty.substr(5) + ")")) << r.out;

    // One more message, waiting in her mailbox when the package goes.
    int64_t waiting = sent_number(run_program({installed_kelv, "send", "--to", "alice", "Still waiting."}));

    // Removed: the programs go; the hooks, as configuration files, stay
    // until the purge, and without the helper they do nothing.
    r = run_program({"dpkg", "--remove", "kelvora"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(query("${Status}"), "deinstall ok config-files");
    EXPECT_FALSE(exists(installed_kelv));
    EXPECT_FALSE(exists("/usr/lib/kelvora"));
    for (const std::string &file : conffiles)
        EXPECT_TRUE(exists(file)) << file;
    shell = bash_login();
    shell.send("echo a''live\r");
    EXPECT_TRUE(shell.wait_for("alive\r\nP> ", 5000)) << shell.output;
    std::string seen = leave(shell);
    for (const char *trace : {"Kelvora", "kelvora", "No such file", "not found"})
        EXPECT_EQ(seen.find(trace), std::string::npos) << trace << " in:\n" << seen;
    expect_store_kept(n, waiting);

    // Purged: the configuration goes too; the messages stay.
    r = run_program({"dpkg", "--purge", "kelvora"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(query("${Status}"), "");
    EXPECT_FALSE(exists("/etc/kelvora"));
    for (const std::string &file : conffiles)
        EXPECT_FALSE(exists(file)) << file;
    expect_store_kept(n, waiting);
}
