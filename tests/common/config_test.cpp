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
