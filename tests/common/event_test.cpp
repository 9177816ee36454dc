#include "common/common.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string describe(const char *kind, int64_t id, const char *user, const char *channel, const char *details,
                     const char *author)
{
    textbuf b;
    if (!event_describe(kind, id, user, channel, details, author, b))
        return "<unknown>";
    return textbuf_str(b);
}

} // namespace

TEST(EventDescribe, EverySentenceWithItsArguments)
{
    struct {
        const char *kind, *user, *channel, *details, *author, *sentence;
    } cases[] = {
        {"SENT", "", "", "alice bob", "root", "message 7 sent by root to: alice bob"},
        {"DELIVERED", "alice", "", "2", "", "message 7 delivered to alice (terminals written: 2)"},
        {"DELIVERED", "alice", "", "0", "", "message 7 delivered to alice (terminals written: 0)"},
        {"DELIVERED", "alice", "", "", "", "message 7 delivered to alice (recovery)"},
        {"NOT_DELIVERED", "bob", "", "", "", "message 7: ERROR, copy for bob not written"},
        {"CANCELLED", "", "", "", "", "message 7: sending interrupted before it was saved, cancelled"},
        {"RECOVERED", "", "", "1", "", "message 7: delivery completed for 1 recipient after an interruption"},
        {"RECOVERED", "", "", "3", "", "message 7: delivery completed for 3 recipients after an interruption"},
        {"DELETED", "", "", "90d", "root", "message 7 deleted by root (older than 90d)"},
        {"REMINDED", "", "", "1", "root", "message 7: 1 recipient reminded by root"},
        {"REMINDED", "", "", "3", "root", "message 7: 3 recipients reminded by root"},
        {"REMINDED", "", "", "01", "root", "message 7: 01 recipients reminded by root"},
        {"REVOKED", "", "", "", "tobin", "message 7 revoked by tobin"},
        {"POSTPONED", "alice", "terminal", "", "", "user alice: postponed message 7 (terminal)"},
        {"CONFIRMED", "alice", "terminal pts/3", "", "", "user alice: confirmed reading message 7 (terminal pts/3)"},
        {"CONFIRMATION_FAILED", "alice", "desktop", "Permission denied", "",
         "user alice: ERROR, confirmation of message 7 not recorded (desktop): Permission denied"},
        {"CONFIRMATION_FAILED", "alice", "desktop", "", "",
         "user alice: ERROR, confirmation of message 7 not recorded (desktop): unknown error"},
    };
    for (auto &c : cases)
        EXPECT_EQ(describe(c.kind, 7, c.user, c.channel, c.details, c.author), c.sentence) << c.kind;
}

TEST(EventDescribe, NullStringsReadAsEmptyAndUnknownKindsAppendNothing)
{
    EXPECT_EQ(describe("DELIVERED", 9, nullptr, nullptr, nullptr, nullptr), "message 9 delivered to  (recovery)");
    EXPECT_EQ(describe("CONFIRMATION_FAILED", 9, "u", nullptr, nullptr, nullptr),
              "user u: ERROR, confirmation of message 9 not recorded (): unknown error");
    textbuf b;
    textbuf_append_str(b, "kept");
    EXPECT_FALSE(event_describe("BOGUS", 1, "", "", "", "", b));
    EXPECT_FALSE(event_describe("sent", 1, "", "", "", "", b));
    EXPECT_STREQ(b.data, "kept");
}
