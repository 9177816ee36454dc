#include "common/common.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

TEST(Textbuf, FirstAppendAllocatesSixtyFourBytesEvenForNothing)
{
    textbuf b;
    textbuf_append_str(b, "");
    ASSERT_NE(b.data, nullptr);
    EXPECT_STREQ(b.data, "");
    EXPECT_EQ(b.len, 0u);
    EXPECT_EQ(b.cap, 64u);
}

TEST(Textbuf, CapacityDoublesWhenTheTerminatorNoLongerFits)
{
    std::string s63(63, 'a'), s64(64, 'b');
    textbuf a, b;
    textbuf_append(a, s63.data(), s63.size());
    EXPECT_EQ(a.cap, 64u);
    textbuf_append(b, s64.data(), s64.size());
    EXPECT_EQ(b.cap, 128u);
    textbuf_append(b, s64.data(), s64.size());
    textbuf_append(b, s64.data(), s64.size());
    EXPECT_EQ(b.len, 192u);
    EXPECT_EQ(b.cap, 256u);
    EXPECT_EQ(std::string(b.data), s64 + s64 + s64);
}

TEST(Textbuf, HoldsEmbeddedNulsAndStaysTerminated)
{
    textbuf b;
    textbuf_append(b, "a\0b", 3);
    textbuf_append_char(b, 'c');
    ASSERT_EQ(b.len, 4u);
    EXPECT_EQ(std::string(b.data, b.len), std::string("a\0bc", 4));
    EXPECT_EQ(b.data[4], '\0');
}

TEST(Textbuf, PrintfAppendsAfterExistingText)
{
    textbuf b;
    textbuf_append_str(b, "x=");
    textbuf_printf(b, "%d/%s", 42, "y");
    std::string big(500, 'z');
    textbuf_printf(b, "[%s]", big.c_str());
    EXPECT_EQ(std::string(b.data, b.len), "x=42/y[" + big + "]");
    EXPECT_EQ(strlen(b.data), b.len);
}

TEST(Textbuf, ClearKeepsStorageAndFreeAllowsReuse)
{
    textbuf never;
    textbuf_clear(never);
    EXPECT_EQ(never.data, nullptr);
    EXPECT_STREQ(textbuf_str(never), "");

    textbuf b;
    textbuf_append_str(b, "hello");
    textbuf_clear(b);
    EXPECT_EQ(b.len, 0u);
    EXPECT_EQ(b.cap, 64u);
    EXPECT_STREQ(b.data, "");

    textbuf_free(b);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.cap, 0u);
    textbuf_free(b); // idempotent
    textbuf_append_str(b, "again");
    EXPECT_STREQ(b.data, "again");
    EXPECT_EQ(b.cap, 64u);
}

TEST(Strlist, GrowsFromSixteenToThirtyTwoOnTheSeventeenthPush)
{
    strlist l;
    for (int i = 0; i < 16; i++)
        strlist_push(l, xasprintf("%d", i));
    EXPECT_EQ(l.cap, 16u);
    strlist_push_copy(l, "16");
    EXPECT_EQ(l.cap, 32u);
    EXPECT_EQ(l.count, 17u);
    EXPECT_STREQ(l.items[16], "16");
    strlist_free(l);
    EXPECT_EQ(l.items, nullptr);
    EXPECT_EQ(l.count, 0u);
    strlist_free(l);
}

TEST(Strlist, ContainsComparesWholeStrings)
{
    strlist l;
    strlist_push_copy(l, "alice");
    strlist_push_copy(l, "bob");
    EXPECT_TRUE(strlist_contains(l, "bob"));
    EXPECT_FALSE(strlist_contains(l, "bo"));
    EXPECT_FALSE(strlist_contains(l, "Bob"));
    EXPECT_FALSE(strlist_contains(strlist{}, "bob"));
}

TEST(Strlist, SortsInByteOrderAndNumericNamesShorterFirst)
{
    strlist l;
    for (const char *s : {"bob", "Zed", "alice", "al"})
        strlist_push_copy(l, s);
    strlist_sort(l);
    EXPECT_STREQ(l.items[0], "Zed");
    EXPECT_STREQ(l.items[1], "al");
    EXPECT_STREQ(l.items[2], "alice");
    EXPECT_STREQ(l.items[3], "bob");

    strlist n;
    for (const char *s : {"2", "10", "1", "100", "9"})
        strlist_push_copy(n, s);
    qsort(n.items, n.count, sizeof *n.items, compare_numeric_names);
    std::string order;
    for (size_t i = 0; i < n.count; i++)
        order += std::string(n.items[i]) + " ";
    EXPECT_EQ(order, "1 2 9 10 100 ");
}
