// The recipe for many machines, run by the real Ansible engine: three hosts
// that are local stand-ins, each with its own test-mode store, get the same
// message through send.yml; the user confirms it on two of them; status.yml
// collects what every host says into one document, and table.jq makes the
// table of it.
#include "store.h"

#include <gtest/gtest.h>
#include <regex>

TEST(Fleet, TheSameMessageEverywhereAndOneTableOfWhoConfirmedIt)
{
    if (run_program({"ansible-playbook", "--version"}).status != 0)
        GTEST_SKIP() << "ansible-core is not installed: the recipe for many machines is not tested";
    const std::string playbooks = KELV_ANSIBLE_DIR;
    test_store s; // the recipient's name and a stand-in terminal
    temp_dir dir;
    const std::vector<std::string> hosts = {"host1", "host2", "host3"};
    std::string inventory = "all:\n"
                            "  vars:\n"
                            "    ansible_connection: local\n"
                            "    ansible_python_interpreter: /usr/bin/python3\n"
                            "    kelv_command: " + kelv_path() + "\n"
                            "  hosts:\n";
    for (const std::string &h : hosts)
        inventory += "    " + h + ":\n      kelv_environment: {KELV_TEST: '1', KELV_VAR: '" + (dir / h) +
                     "', KELV_TEST_TTY: '" + s.tty + "'}\n";
    write_text(dir / "hosts.yml", inventory);

    // As from a shell in dir: the reports land there.
    run_options o;
    o.cwd = dir.path;
    o.env = {"PWD=" + dir.path, "HOME=" + dir.path, "ANSIBLE_NOCOLOR=1"};
    o.timeout_seconds = 600;
    run_result r = run_program({"ansible-playbook", "-i", "hosts.yml", playbooks + "/send.yml", "-e", "to=" + s.me,
                                "-e", "title=Fleet", "-e", "text='Reboot at 13:00.'"},
                               o);
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    // Fresh stores: each host gives the message the number 1.
    for (const std::string &h : hosts)
        EXPECT_EQ(jq(".message, .recipients[0].delivered", read_text(dir / ("kelvora-sent/" + h + ".json"))),
                  "1\ntrue\n") << h;
    for (const std::string &h : {hosts[0], hosts[1]}) {
        run_options as_user;
        as_user.env = {"KELV_TEST=1", "KELV_VAR=" + (dir / h)};
        ASSERT_EQ(run_program({kelvora_user_path(), "confirm", "1", "desktop"}, as_user).status, 0);
    }

    r = run_program({"ansible-playbook", "-i", "hosts.yml", playbooks + "/status.yml"}, o);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::string collected = read_text(dir / "kelvora-status.json");
    std::string who = R"([[")" + s.me;
    EXPECT_EQ(jq("map_values([.number, .title, .text, (.recipients | map([.user, .state, .channel]))])", collected),
              R"({"host1":[1,"Fleet","Reboot at 13:00.\n",)" + who + R"(","confirmed","desktop"]]],)"
              R"("host2":[1,"Fleet","Reboot at 13:00.\n",)" + who + R"(","confirmed","desktop"]]],)"
              R"("host3":[1,"Fleet","Reboot at 13:00.\n",)" + who + R"(","delivered",null]]]})" "\n");
    r = run_program({"jq", "-r", "-f", playbooks + "/table.jq", dir / "kelvora-status.json"});
    std::string stamp = "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ";
    EXPECT_TRUE(std::regex_match(r.out, std::regex("host1\t1\t" + s.me + "\tconfirmed\t" + stamp + "\tdesktop\n"
                                                   "host2\t1\t" + s.me + "\tconfirmed\t" + stamp + "\tdesktop\n"
                                                   "host3\t1\t" + s.me + "\tdelivered\t-\t-\n")))
        << r.out << r.err;
}
