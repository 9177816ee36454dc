// Resolution against the accounts every system has; the test accounts of the
// real-system suite cover groups, "all" and "online".
#include "core/core.h"
#include "support.h"

#include <gtest/gtest.h>

namespace {

run_result resolve(const char *text)
{
    return run_in_child([text] {
        program_name = "kelv";
        strlist l;
        resolve_recipients(text, l);
        for (size_t i = 0; i < l.count; i++)
            printf("%s|", l.items[i]);
    });
}

} // namespace

TEST(ResolveRecipients, DuplicatesGoAndTheResultIsSorted)
{
    EXPECT_EQ(resolve("root,daemon,root").out, "daemon|root|");
    EXPECT_EQ(resolve("root,,daemon,").out, "daemon|root|");
    run_result r = resolve(",");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
}

TEST(ResolveRecipients, ItemsAreTakenExactlyAsWritten)
{
    EXPECT_EQ(resolve("root, daemon").err, "kelv: no such user:  daemon\n");
    EXPECT_EQ(resolve("ALL").err, "kelv: no such user: ALL\n");
    EXPECT_EQ(resolve("root,ghost-kelvora").err, "kelv: no such user: ghost-kelvora\n");
    run_result r = resolve("@no-such-group-kelvora");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kelv: no such group: no-such-group-kelvora\n");
    EXPECT_EQ(resolve("@").err, "kelv: no such group: \n");
}

TEST(CountRecipients, PrintsTheNumberOfNames)
{
    run_result r = run_in_child([] { count_recipients("root,daemon,root"); });
    EXPECT_EQ(r.out, "2\n");
}
