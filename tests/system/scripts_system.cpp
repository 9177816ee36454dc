// The checkout's scripts in a checkout that root and its owner use in turn:
// what one of them left that the other cannot write is named in one line
// with what to do, before anything is built.
#include "system.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

class Scripts : public system_test {};

// The scripts/ directory of the checkout these tests were built from.
std::string scripts_dir()
{
    std::string script = KELV_ENTER_NAMESPACE; // CHECKOUT/tests/system/enter-namespace
    return script.substr(0, script.rfind("/tests/system/")) + "/scripts";
}

} // namespace

TEST_F(Scripts, SayInOneLineWhatTheirUserCannotWriteAndWhatToDo)
{
    const std::string co = "/home/alice/checkout";
    ASSERT_EQ(run_program({"mkdir", "-p", co}).status, 0);
    ASSERT_EQ(run_program({"cp", "-R", scripts_dir(), co + "/scripts"}).status, 0);
    ASSERT_EQ(run_program({"chown", "-R", "alice:alice", co}).status, 0);
    auto left_by_root = [&](const std::string &dir) {
        run_program({"mkdir", "-p", co + "/" + dir + "/sub"});
        write_text(co + "/" + dir + "/sub/file", "");
    };
    auto line = [&](const std::string &script, const std::string &blocked, const std::string &dir) {
        return script + ": you (alice) cannot write " + co + "/" + blocked +
               ", which belongs to root: remove the directory with sudo rm -rf " + co + "/" + dir +
               ", or run " + script + " as root\n";
    };
    run_options in_checkout;
    in_checkout.cwd = co;

    // What root's scripts/test and scripts/demo leave behind.
    for (const char *dir : {"build", "build-sanitize", "build-fuzz", ".demo", "build-package"})
        left_by_root(dir);
    for (auto [script, dir] : {std::pair{"scripts/demo", "build"}, {"scripts/test", "build"},
                               {"scripts/bench", "build"}, {"scripts/fuzz", "build-fuzz"},
                               {"scripts/package", "build-package"}}) {
        run_result r = run_as("alice", {script}, in_checkout);
        EXPECT_EQ(r.status, 1) << script;
        EXPECT_EQ(r.out, "") << script;
        EXPECT_EQ(r.err, line(script, dir, dir)) << script;
    }

    // Her own directories with one file of root's deep inside.
    run_program({"chown", "-R", "alice:alice", co + "/build", co + "/build-sanitize"});
    run_program({"chown", "root:root", co + "/build-sanitize/sub/file"});
    run_result r = run_as("alice", {"scripts/demo"}, in_checkout);
    EXPECT_EQ(r.err, line("scripts/demo", ".demo", ".demo"));
    r = run_as("alice", {"scripts/test"}, in_checkout);
    EXPECT_EQ(r.err, line("scripts/test", "build-sanitize/sub/file", "build-sanitize"));

    // A checkout that is not hers at all is named with whose it is.
    run_program({"rm", "-rf", co + "/build", co + "/.demo"});
    run_program({"chown", "root:root", co});
    r = run_as("alice", {"scripts/demo"}, in_checkout);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "scripts/demo: you (alice) cannot write " + co + ", which belongs to root: run scripts/demo as root\n");
}
