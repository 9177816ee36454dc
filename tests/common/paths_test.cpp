#include "common/common.h"
#include "support.h"

#include <gtest/gtest.h>

namespace {

// lib_init writes process-wide settings: run it in a child and report them.
run_result settings_after_init(std::vector<std::pair<const char *, const char *>> env)
{
    return run_in_child([&] {
        for (auto &[k, v] : env) {
            if (v)
                setenv(k, v, 1);
            else
                unsetenv(k);
        }
        lib_init("kelv");
        printf("%s|%d|%s|%s|%s", program_name, test_mode, var_dir, lib_dir, conf_path);
    });
}

} // namespace

TEST(LibInit, OverridesAreIgnoredOutsideTestMode)
{
    run_result r = settings_after_init({{"KELV_TEST", nullptr}, {"KELV_VAR", "/tmp/x"}, {"KELV_LIB", "/tmp/l"}});
    EXPECT_EQ(r.out, "kelv|0|/var/lib/kelvora|/usr/local/lib/kelvora|/etc/kelvora/kelvora.conf");
    r = settings_after_init({{"KELV_TEST", ""}, {"KELV_VAR", "/tmp/x"}});
    EXPECT_EQ(r.out, "kelv|0|/var/lib/kelvora|/usr/local/lib/kelvora|/etc/kelvora/kelvora.conf");
}

TEST(LibInit, TestModeTakesEachNonEmptyOverride)
{
    run_result r = settings_after_init(
        {{"KELV_TEST", "1"}, {"KELV_VAR", ""}, {"KELV_LIB", "/opt/k"}, {"KELV_CONF", "/tmp/k.conf"}});
    EXPECT_EQ(r.out, "kelv|1|/var/lib/kelvora|/opt/k|/tmp/k.conf");
}

TEST(FormatTime, DayMonthHourMinuteInLocalTime)
{
    scoped_env tz("TZ", "UTC");
    tzset();
    char out[32];
    format_time(0, out);
    EXPECT_STREQ(out, "01/01 00:00");
    format_time(1765119840, out); // 2025-12-07 15:04 UTC
    EXPECT_STREQ(out, "07/12 15:04");
    format_time(INT64_MAX, out);
    EXPECT_STREQ(out, "?");
}
