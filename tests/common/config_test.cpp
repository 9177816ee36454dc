#include "common/common.h"
#include "support.h"

#include <gtest/gtest.h>
#include <string>

namespace {

config parsed(const std::string &text)
{
    config c;
    config_parse(text.c_str(), c);
    return c;
}

} // namespace

TEST(Config, DefaultsWithoutText)
{
    config c;
    config_parse(nullptr, c);
    EXPECT_EQ(c.remind_minutes, 30);
    EXPECT_EQ(c.agent_poll, 60);
}

TEST(Config, ValuesMustBeOneToSixDigitsAboveZero)
{
    for (const char *bad : {"0", "-5", "1000000", "\"10\"", "1e3", ""})
        EXPECT_EQ(parsed(std::string("KELV_REMIND_MINUTES=") + bad).remind_minutes, 30) << bad;
    EXPECT_EQ(parsed("KELV_REMIND_MINUTES=010").remind_minutes, 10);
    EXPECT_EQ(parsed("KELV_REMIND_MINUTES=999999").remind_minutes, 999999);
}

TEST(Config, BlanksVanishAndCommentsEndTheLine)
{
    config c = parsed("KELV_AGENT_POLL=30 # every half minute\n"
                      "  KELV_REMIND _MINUTES = 1 5\r\n"
                      "# KELV_AGENT_POLL=5\n"
                      "KELV_AGENT_POLL#=7\n"
                      "UNKNOWN=3\n"
                      "no equals sign");
    EXPECT_EQ(c.agent_poll, 30);
    EXPECT_EQ(c.remind_minutes, 15);
}

TEST(Config, LaterLinesOverrideAndOverlongLinesAreIgnored)
{
    EXPECT_EQ(parsed("KELV_AGENT_POLL=5\nKELV_AGENT_POLL=6").agent_poll, 6);
    std::string long_line = "KELV_AGENT_POLL=5" + std::string(300 - 17, 'x');
    EXPECT_EQ(parsed(long_line).agent_poll, 60);
    std::string padded = "KELV_AGENT_POLL=5" + std::string(300, ' ');
    EXPECT_EQ(parsed(padded).agent_poll, 5);
}

TEST(Config, LoadFallsBackToDefaultsForAnOversizedFile)
{
    temp_dir d;
    std::string body = "KELV_REMIND_MINUTES=120\nKELV_AGENT_POLL=30\n";
    write_text(d / "ok.conf", body);
    write_text(d / "big.conf", body + std::string(65537 - body.size(), '#'));
    symlink((d / "ok.conf").c_str(), (d / "link.conf").c_str());
    const char *saved = conf_path;
    config c;
    std::string big = d / "big.conf";
    conf_path = big.c_str();
    config_load(c);
    EXPECT_EQ(c.remind_minutes, 30);
    EXPECT_EQ(c.agent_poll, 60);
    std::string link = d / "link.conf";
    conf_path = link.c_str();
    config_load(c);
    EXPECT_EQ(c.remind_minutes, 120);
    EXPECT_EQ(c.agent_poll, 30);
    conf_path = "/nonexistent/kelvora.conf";
    config_load(c);
    EXPECT_EQ(c.remind_minutes, 30);
    conf_path = saved;
}

// The example that the Debian package installs: as shipped it changes
// nothing, and each commented setting, once its "#" is removed, is accepted
// and shows the default.
TEST(Config, TheShippedExampleShowsEveryDefault)
{
    std::string example = read_text(KELVORA_EXAMPLE_CONF);
    config shipped = parsed(example), defaults = parsed("");
    EXPECT_EQ(shipped.remind_minutes, defaults.remind_minutes);
    EXPECT_EQ(shipped.agent_poll, defaults.agent_poll);

    std::vector<std::string> names;
    for (size_t at = 0; (at = example.find("\n#KELV_", at)) != std::string::npos; at++) {
        std::string line = example.substr(at + 2, example.find('\n', at + 1) - at - 2);
        names.push_back(line.substr(0, line.find('=')));
        // Set off the defaults first, so that an ignored line shows.
        config c = parsed("KELV_REMIND_MINUTES=7\nKELV_AGENT_POLL=7\n" + line);
        if (names.back() == "KELV_REMIND_MINUTES")
            EXPECT_EQ(c.remind_minutes, defaults.remind_minutes) << line;
        else
            EXPECT_EQ(c.agent_poll, defaults.agent_poll) << line;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"KELV_REMIND_MINUTES", "KELV_AGENT_POLL"}));
}
