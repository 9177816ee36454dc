#include "common/common.h"
#include "support.h"

#include <gtest/gtest.h>

TEST(Die, FlushesOutputFirstAndExitsWithOne)
{
    run_result r = run_in_child([] {
        program_name = "kelv";
        printf("partial output");
        die("no such user: %s", "ghost");
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "partial output");
    EXPECT_EQ(r.err, "kelv: no such user: ghost\n");
}

TEST(Warnf, PrintsTheSameLineAndReturns)
{
    run_result r = run_in_child([] {
        program_name = "kelvora-user";
        errno = EACCES;
        warnf("message %lld was %s", 7LL, "late");
        printf("after %d", errno == EACCES);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "kelvora-user: message 7 was late\n");
    EXPECT_EQ(r.out, "after 1");
}

TEST(Allocation, ZeroSizedRequestsAndCopies)
{
    void *p = xmalloc(0);
    ASSERT_NE(p, nullptr);
    p = xrealloc(p, 0);
    ASSERT_NE(p, nullptr);
    free(p);
    char *s = xasprintf("%s/sent/%lld/%s", "/var/lib/kelvora", 12LL, "msg");
    EXPECT_STREQ(s, "/var/lib/kelvora/sent/12/msg");
    free(s);
    char *d = xstrndup("abcdef", 3);
    EXPECT_STREQ(d, "abc");
    free(d);
}

TEST(Allocation, ExhaustionIsFatal)
{
    run_result r = run_in_child([] {
        program_name = "kelv";
        textbuf b;
        textbuf_append_str(b, "x");
        textbuf_reserve(b, SIZE_MAX - 1); // cannot be represented
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kelv: out of memory\n");
}
