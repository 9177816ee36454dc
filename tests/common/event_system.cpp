// Events written to a real journald by root and by a test user, read back
// with the journal's trusted fields; and the syslog fallback.
#include "common/common.h"
#include "system.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

class Events : public system_test {};

} // namespace

TEST_F(Events, RootsAndUsersEntriesComeBackWithEveryField)
{
    event("SENT", 4101, nullptr, nullptr, "alice\nbob", "root");
    // As the helper writes it: from a process of alice's own.
    run_result r = run_in_child([] {
        if (setgroups(0, nullptr) < 0 || setresgid(1001, 1001, 1001) < 0 || setresuid(1001, 1001, 1001) < 0) {
            printf("cannot become alice");
            return;
        }
        event("CONFIRMED", 4101, "alice", "terminal pts/3", nullptr, nullptr);
    });
    ASSERT_EQ(r.out, "");

    std::vector<journal_entry> entries = journal_read({"SYSLOG_IDENTIFIER=kelv", "KELV_MESSAGE=4101"});
    ASSERT_EQ(entries.size(), 2u);
    const journal_entry &sent = entries[0], &conf = entries[1];
    EXPECT_EQ(sent.get("_UID"), "0");
    EXPECT_EQ(sent.get("KELV_EVENT"), "SENT");
    EXPECT_EQ(sent.get("KELV_DETAILS"), "alice bob");
    EXPECT_EQ(sent.get("KELV_AUTHOR"), "root");
    EXPECT_EQ(sent.get("KELV_USER"), "");
    EXPECT_EQ(sent.get("KELV_CHANNEL"), "");
    EXPECT_EQ(sent.get("MESSAGE"), "message 4101 sent by root to: alice bob");
    EXPECT_EQ(sent.get("PRIORITY"), "6");
    EXPECT_EQ(sent.get("CODE_FILE"), "src/event");
    EXPECT_EQ(sent.get("CODE_LINE"), "75");
    EXPECT_EQ(sent.get("CODE_FUNC"), "event");
    EXPECT_EQ(sent.fields.count("KELV_USER"), 1u); // present even when empty

    EXPECT_EQ(conf.get("_UID"), "1001");
    EXPECT_EQ(conf.get("KELV_EVENT"), "CONFIRMED");
    EXPECT_EQ(conf.get("KELV_USER"), "alice");
    EXPECT_EQ(conf.get("KELV_CHANNEL"), "terminal pts/3");
    EXPECT_EQ(conf.get("MESSAGE"), "user alice: confirmed reading message 4101 (terminal pts/3)");
    EXPECT_EQ(conf.get("CODE_FILE"), "src/event");
}

TEST_F(Events, AnUnknownKindIsLoggedUnderItsOwnName)
{
    event("FROBNICATED", 4102, "bob", nullptr, nullptr, nullptr);
    std::vector<journal_entry> entries = journal_read({"KELV_MESSAGE=4102"});
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].get("MESSAGE"), "FROBNICATED");
    EXPECT_EQ(entries[0].get("KELV_EVENT"), "FROBNICATED");
    EXPECT_EQ(entries[0].get("KELV_USER"), "bob");
}

TEST_F(Events, WithoutTheJournalTheSentenceGoesToSyslog)
{
    // In a private mount namespace the journal's sockets are hidden, and a
    // syslog socket of our own listens at /dev/log, on a /dev of the child's
    // own so that nothing is created on the machine's.
    run_result r = run_in_child([] {
        if (unshare(CLONE_NEWNS) < 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 ||
            mount("tmpfs", "/run/systemd/journal", "tmpfs", 0, nullptr) < 0 ||
            mount("tmpfs", "/dev", "tmpfs", 0, nullptr) < 0) {
            printf("setup: %s", strerror(errno));
            return;
        }
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        strcpy(addr.sun_path, "/dev/log");
        if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
            printf("bind: %s", strerror(errno));
            return;
        }
        event("REVOKED", 4103, nullptr, nullptr, nullptr, "root");
        char buf[512];
        struct timeval tv = {2, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ssize_t got = recv(fd, buf, sizeof buf, 0);
        printf("%s", got > 0 ? std::string(buf, got).c_str() : "nothing");
    });
    // <14> is the user facility at the informational level.
    EXPECT_EQ(r.out.substr(0, 4), "<14>") << r.out;
    EXPECT_NE(r.out.find("kelv: message 4103 revoked by root"), std::string::npos) << r.out;
    EXPECT_TRUE(journal_read({"KELV_MESSAGE=4103"}).empty());
}
