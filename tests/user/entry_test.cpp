// kelvora-user's command line, black-box.
#include "store.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

const std::string usage = "kelvora-user: internal Kelvora helper, not meant to be run directly\n";

run_result helper(const test_store &s, std::vector<std::string> args, bool test = true)
{
    args.insert(args.begin(), kelvora_user_path());
    run_options o;
    o.env = {"KELV_VAR=" + s.dir.path, "KELV_CONF=" + s.path("kelvora.conf"),
             test ? "KELV_TEST=1" : "KELV_TEST"};
    return run_program(args, o);
}

void mailbox_with_copy(const test_store &s, const std::string &n)
{
    mkdir(s.path("users").c_str(), 0755);
    mkdir(s.mailbox(s.me, "").c_str(), 0700);
    for (const char *d : {"inbox", "read", "acks", "state"})
        mkdir(s.mailbox(s.me, d).c_str(), 0755);
    write_text(s.mailbox(s.me, "inbox/" + n), "format: 1\nid: " + n + "\nfrom: root\ndate: 1\ntitle: \nexpires: \n\nx\n");
}

} // namespace

TEST(HelperEntry, AnythingButAKnownModeGetsTheUsageLine)
{
    test_store s;
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"send"}, {"Prompt"}, {"confirm", "1"},
                                          {"confirm", "1", "desktop", "extra"}, {""}}) {
        run_result r = helper(s, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, usage);
    }
}

TEST(HelperEntry, ConfirmExistsOnlyInTestMode)
{
    test_store s;
    mailbox_with_copy(s, "12");
    run_result r = helper(s, {"confirm", "12", "desktop"}, false);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, usage);
    EXPECT_FALSE(exists(s.mailbox(s.me, "acks/12")));

    r = helper(s, {"confirm", "12x", "desktop"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(list_dir(s.mailbox(s.me, "acks")), std::vector<std::string>{});

    r = helper(s, {"confirm", "12", "desktop"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(exists(s.mailbox(s.me, "acks/12")));
    EXPECT_EQ(helper(s, {"confirm", "12", "desktop"}).status, 0); // already recorded
    EXPECT_EQ(helper(s, {"confirm", "13", "desktop"}).status, 3); // no copy
}

TEST(HelperEntry, PromptWithoutATerminalSaysNothing)
{
    test_store s;
    mailbox_with_copy(s, "1");
    run_options o;
    o.env = {"KELV_TEST=1", "KELV_VAR=" + s.dir.path};
    o.input = "y\n";
    o.has_input = true;
    for (const char *mode : {"prompt", "--login"}) {
        run_result r = run_program({kelvora_user_path(), "prompt", mode}, o);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out + r.err, "");
    }
    EXPECT_TRUE(exists(s.mailbox(s.me, "inbox/1")));
}

TEST(HelperEntry, AnAccountlessUserGetsStatusOneAndSilence)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run under a uid without an account";
    test_store s;
    run_options o;
    o.env = {"KELV_TEST=1"};
    o.uid = 54321;
    o.gid = 54321;
    temp_dir d;
    std::string helper = copy_for_others(d, kelvora_user_path());
    for (std::vector<std::string> args : {std::vector<std::string>{"prompt"}, {"agent"}, {}}) {
        args.insert(args.begin(), helper);
        run_result r = run_program(args, o);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out + r.err, "");
    }
}

// The helper starts before every shell prompt of every user: each shared
// library it needs is loaded and relocated every time, so it needs the C
// library alone (and the dynamic loader, which is not a NEEDED entry).
TEST(HelperEntry, NeedsNoSharedLibraryButTheCLibrary)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "a sanitizer build links its own runtime into every program";
#endif
    run_result r = run_program({"readelf", "--dynamic", "--wide", kelvora_user_path()});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> needed;
    for (const std::string &line : lines(r.out)) {
        size_t open = line.find("(NEEDED)") == std::string::npos ? std::string::npos : line.find('[');
        std::string name = open == std::string::npos ? "" : line.substr(open + 1, line.find(']', open) - open - 1);
        if (!name.empty() && name.rfind("ld-linux", 0) != 0)
            needed.push_back(name);
    }
    EXPECT_EQ(needed, std::vector<std::string>{"libc.so.6"});
}
