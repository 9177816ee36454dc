// The recipe for many machines, run by the real Ansible engine: three hosts
// that are local stand-ins, each with its own test-mode store, get the same
// message through send.yml; the user confirms it on two of them; status.yml
// collects what every host says into one document, and table.jq makes the
// table of it.
#include "store.h"

#include <gtest/gtest.h>
#include <time.h>

namespace {

const std::string playbooks = KELV_ANSIBLE_DIR;

} // namespace

TEST(Fleet, TheSameMessageEverywhereAndOneTableOfWhoConfirmedIt)
{
    if (run_program({"ansible-playbook", "--version"}).status != 0)
        GTEST_SKIP() << "ansible-core is not installed: the recipe for many machines is not tested";
    test_store s; // the recipient's name and a stand-in terminal
    temp_dir dir;
    const std::vector<std::string> hosts = {"host1", "host2", "host3"};
    std::string inventory = "all:\n"
                            "  vars:\n"
                            "    ansible_connection: local\n"
                            "    ansible_python_interpreter: /usr/bin/python3\n"
                            "    kelv_command: " + kelv_path() + "\n"
                            "  hosts:\n";
    for (const std::string &h : hosts) {
        inventory += "    " + h + ":\n      kelv_environment: {KELV_TEST: '1', KELV_VAR: '" + (dir / h) +
                     "', KELV_TEST_TTY: '" + s.tty + "'}\n";
    }
    write_text(dir / "hosts.yml", inventory);

    // As from a shell in dir: the reports land there.
    run_options o;
    o.cwd = dir.path;
    o.env = {"PWD=" + dir.path, "HOME=" + dir.path, "ANSIBLE_NOCOLOR=1", "ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3"};
    o.timeout_seconds = 600;
    run_result r = run_program({"ansible-playbook", "-i", "hosts.yml", playbooks + "/send.yml", "-e", "to=" + s.me,
                                "-e", "title=Fleet", "-e", "text='Reboot at 13:00.'"},
                               o);
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    std::vector<std::string> numbers;
    for (const std::string &h : hosts) {
        json_leaves sent = parse_json(read_text(dir / ("kelvora-sent/" + h + ".json")));
        ASSERT_TRUE(sent.valid) << h << sent.error;
        EXPECT_EQ(sent.value(".recipients[0].delivered"), "true") << h;
        numbers.push_back(sent.value(".message"));
    }
    for (size_t i : {0, 1}) {
        run_options as_user;
        as_user.env = {"KELV_TEST=1", "KELV_VAR=" + (dir / hosts[i])};
        ASSERT_EQ(run_program({kelvora_user_path(), "confirm", numbers[i], "desktop"}, as_user).status, 0);
    }

    r = run_program({"ansible-playbook", "-i", "hosts.yml", playbooks + "/status.yml"}, o);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::string collected = read_text(dir / "kelvora-status.json");
    json_leaves j = parse_json(collected);
    ASSERT_TRUE(j.valid) << j.error << collected;
    EXPECT_EQ(j.value(""), "{3}");
    std::string table;
    for (size_t i = 0; i < hosts.size(); i++) {
        std::string at = "." + hosts[i];
        EXPECT_EQ(j.value(at + ".number"), numbers[i]);
        EXPECT_EQ(j.str(at + ".title"), "Fleet");
        EXPECT_EQ(j.str(at + ".text"), "Reboot at 13:00.\n");
        EXPECT_EQ(j.value(at + ".recipients"), "[1]");
        EXPECT_EQ(j.str(at + ".recipients[0].user"), s.me);
        bool confirmed = i < 2;
        EXPECT_EQ(j.str(at + ".recipients[0].state"), confirmed ? "confirmed" : "delivered") << hosts[i];
        std::string when = "-";
        if (confirmed) {
            EXPECT_EQ(j.str(at + ".recipients[0].channel"), "desktop");
            char text[32];
            time_t t = static_cast<time_t>(std::stoll(j.value(at + ".recipients[0].confirmed_at")));
            struct tm tm;
            strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&t, &tm));
            when = text;
        }
        table += hosts[i] + "\t" + numbers[i] + "\t" + s.me + "\t" + (confirmed ? "confirmed" : "delivered") + "\t" +
                 when + "\t" + (confirmed ? "desktop" : "-") + "\n";
    }

    r = run_program({"jq", "-r", "-f", playbooks + "/table.jq", dir / "kelvora-status.json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, table);
}
