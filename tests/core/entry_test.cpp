// kelv's command line, run black-box in test mode (no sudo) unless a test is
// about the re-run through sudo itself.
#include "core/core.h"
#include "support.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

run_result kelv(std::vector<std::string> args, std::vector<std::string> env = {})
{
    args.insert(args.begin(), kelv_path());
    run_options o;
    o.env = {"KELV_TEST=1", "KELV_VAR=/nonexistent/kelvora-store"};
    o.env.insert(o.env.end(), env.begin(), env.end());
    return run_program(args, o);
}

void expect_refusal(const run_result &r, const std::string &message)
{
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kelv: " + message + "\n");
}

} // namespace

TEST(KelvEntry, VersionIgnoresFurtherArguments)
{
    for (const char *v : {"version", "--version"}) {
        run_result r = kelv({v, "extra", "words"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "Kelvora - Advanced Messaging System for Linux 0.2.0\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST(KelvEntry, UnknownCommandsAreCaseSensitive)
{
    expect_refusal(kelv({"Send"}), "unknown command: Send (kelv --help for the guide)");
    expect_refusal(kelv({"frobnicate", "x"}), "unknown command: frobnicate (kelv --help for the guide)");
    expect_refusal(kelv({"LIST"}), "unknown command: LIST (kelv --help for the guide)");
}

TEST(KelvEntry, ArgumentCountsAreCheckedBeforeAnythingRuns)
{
    expect_refusal(kelv({"list", "x"}), "too many arguments for list: x (kelv --help for the guide)");
    expect_refusal(kelv({"status", "1", "2"}), "too many arguments for status: 2 (kelv --help for the guide)");
    expect_refusal(kelv({"revoke", "1", "2", "3"}), "too many arguments for revoke: 2 (kelv --help for the guide)");
    expect_refusal(kelv({"remind", "1", ""}), "too many arguments for remind:  (kelv --help for the guide)");
    expect_refusal(kelv({"log", "1", "x"}), "too many arguments for log: x (kelv --help for the guide)");
    expect_refusal(kelv({"purge", "90d", "x"}), "too many arguments for purge: x (kelv --help for the guide)");
}

TEST(KelvEntry, ANormalUserIsHandedToSudoBeforeTheCommandIsLookedAt)
{
    temp_dir d;
    // A stand-in sudo records its arguments, one per line.
    write_text(d / "sudo", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$0.args\"\nexit 7\n",
               0755);
    chmod((d / "").c_str(), 0777);
    std::string kelv = copy_for_others(d, kelv_path());
    run_options o;
    o.env = {"PATH=" + d.path + ":/usr/bin:/bin", "KELV_TEST"};
    if (geteuid() == 0) {
        o.uid = 65534; // nobody
        o.gid = 65534;
    }
    for (std::vector<std::string> args : {std::vector<std::string>{"status", "12"},
                                          {"--help"}, {"version"}, {"Send", "a b"}}) {
        std::vector<std::string> argv = args;
        argv.insert(argv.begin(), kelv);
        unlink((d / "sudo.args").c_str());
        run_result r = run_program(argv, o);
        EXPECT_EQ(r.status, 7) << r.err; // sudo's own status comes back unchanged
        EXPECT_EQ(r.out, "");
        std::string expected = "--\n" + kelv + "\n";
        for (const std::string &a : args)
            expected += a + "\n";
        EXPECT_EQ(read_text(d / "sudo.args"), expected);
    }
}

TEST(KelvEntry, MissingSudoIsReported)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run as another user";
    temp_dir d;
    run_options o;
    o.env = {"PATH=/nonexistent", "KELV_TEST"};
    o.uid = o.gid = 65534;
    run_result r = run_program({copy_for_others(d, kelv_path()), "list"}, o);
    expect_refusal(r, "sudo: No such file or directory");
}

TEST(AuthorName, PrefersAnExistingSudoUser)
{
    struct passwd *pw = getpwuid(getuid());
    ASSERT_NE(pw, nullptr);
    std::string me = pw->pw_name;
    {
        scoped_env e("SUDO_USER", "root");
        EXPECT_STREQ(author_name(), "root");
    }
    {
        scoped_env e("SUDO_USER", "no-such-account-kelvora");
        EXPECT_EQ(std::string(author_name()), me);
    }
    {
        scoped_env e("SUDO_USER", std::string(70, 'r').c_str());
        EXPECT_EQ(std::string(author_name()), me);
    }
    {
        scoped_env e("SUDO_USER", nullptr);
        EXPECT_EQ(std::string(author_name()), me);
    }
}
