// The mailbox against its owner: whatever alice plants in her mailbox,
// root's operations on it never create, write, read, chown or remove
// anything outside it.
#include "core/core.h"
#include "system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Root's files beside the mailboxes, on the same file system, so that hard
// links to them are possible.
const char *victim = "/var/lib/kelvora/victim";     // readable by all
const char *secret = "/var/lib/kelvora/secret";     // readable by root only
const char *victim_dir = "/var/lib/kelvora/victims"; // a directory of root's

struct snapshot {
    std::string content;
    struct stat st = {};
};

snapshot take(const char *path)
{
    snapshot s;
    s.content = read_text(path);
    lstat(path, &s.st);
    return s;
}

class MailboxAttacks : public system_test {
  protected:
    user_info alice;
    textbuf copy;
    std::string box = "/var/lib/kelvora/users/alice";
    snapshot before_victim, before_secret;

    void SetUp() override
    {
        system_test::SetUp();
        ASSERT_TRUE(user_lookup("alice", alice));
        write_text(victim, "precious\n", 0644);
        write_text(secret, "root only\n", 0600);
        mkdir(victim_dir, 0755);
        before_victim = take(victim);
        before_secret = take(secret);
        textbuf_append_str(copy, "format: 1\nid: 5\nfrom: root\ndate: 100\ntitle: \nexpires: \n\nhello\n");
        mkdir("/var/lib/kelvora/users", 0755);
        mkdir("/var/lib/kelvora/sent", 0700);
        mkdir("/var/lib/kelvora/sent/5", 0700);
        write_text("/var/lib/kelvora/sent/5/recipients", "alice\n", 0600);
        write_text("/var/lib/kelvora/sent/5/revoking", "", 0600);
    }
    void TearDown() override
    {
        unlink(victim);
        unlink(secret);
        run_program({"rm", "-rf", victim_dir});
    }
    // A mailbox made by a first delivery, then tampered with by alice.
    void mailbox() { ASSERT_TRUE(deliver_copy(alice, 4, copy)); }
    void plant_symlink(const std::string &rel, const char *target)
    {
        std::string path = box + "/" + rel;
        run_program({"rm", "-rf", path});
        ASSERT_EQ(symlink(target, path.c_str()), 0) << path;
        lchown(path.c_str(), 1001, 1001);
    }
    // Where protected hard links would not stop her, a hard link to a file of
    // root's is the same attack through another door.
    void plant_hardlink(const std::string &rel, const char *target)
    {
        std::string path = box + "/" + rel;
        unlink(path.c_str());
        ASSERT_EQ(link(target, path.c_str()), 0) << path;
    }
    // Every operation root performs in a mailbox.
    std::string run_every_operation()
    {
        deliver_copy(alice, 5, copy);
        std::string leaked;
        strlist numbers;
        strlist_push_copy(numbers, "5");
        record_table t;
        collect_records(alice, numbers, t);
        if (const mailbox_record *r = find_record(t, 5))
            leaked = r->confirmation ? r->confirmation : "";
        clear_postponements(alice, 5);
        remove_copy(alice, 5);
        strlist given_up;
        finish_revocation(5, given_up);
        purge_copies(alice, 5);
        return leaked;
    }
    void expect_untouched()
    {
        snapshot v = take(victim), s = take(secret);
        EXPECT_EQ(v.content, before_victim.content);
        EXPECT_EQ(v.st.st_uid, 0u);
        EXPECT_EQ(v.st.st_mode, before_victim.st.st_mode);
        EXPECT_EQ(v.st.st_mtime, before_victim.st.st_mtime);
        EXPECT_EQ(s.content, before_secret.content);
        EXPECT_EQ(s.st.st_uid, 0u);
        EXPECT_EQ(s.st.st_mode, before_secret.st.st_mode);
        struct stat d;
        ASSERT_EQ(lstat(victim_dir, &d), 0);
        EXPECT_EQ(d.st_uid, 0u);
        EXPECT_EQ(d.st_mode & 07777, 0755u);
        EXPECT_EQ(list_dir(victim_dir), std::vector<std::string>{});
    }
};

} // namespace

TEST_F(MailboxAttacks, TheMailboxIsALinkToADirectoryOfRoots)
{
    mkdir("/var/lib/kelvora/users", 0755);
    ASSERT_EQ(symlink(victim_dir, box.c_str()), 0);
    EXPECT_FALSE(deliver_copy(alice, 5, copy));
    EXPECT_EQ(run_every_operation(), "");
    expect_untouched();
}

TEST_F(MailboxAttacks, ASubdirectoryIsALinkToADirectoryOfRoots)
{
    mailbox();
    for (const char *dir : {"inbox", "acks", "state", "read"}) {
        plant_symlink(dir, victim_dir);
        run_every_operation();
        expect_untouched();
    }
}

TEST_F(MailboxAttacks, TheCopyAndItsTemporaryNameAreLinksToRootsFile)
{
    mailbox();
    plant_symlink("inbox/5", victim);
    run_every_operation();
    expect_untouched();
    plant_symlink("inbox/5.tmp", victim);
    EXPECT_TRUE(deliver_copy(alice, 5, copy));
    expect_untouched();
    EXPECT_EQ(read_text(box + "/inbox/5"), copy.data);
    struct stat st;
    ASSERT_EQ(lstat((box + "/inbox/5").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1001u); // alice's own file, written by her
    plant_hardlink("inbox/5", victim);
    run_every_operation();
    expect_untouched();
    plant_hardlink("inbox/5.tmp", victim);
    run_every_operation();
    expect_untouched();
}

TEST_F(MailboxAttacks, AConfirmationRecordCannotReadRootsFiles)
{
    mailbox();
    plant_symlink("acks/5", secret);
    EXPECT_EQ(run_every_operation(), "");
    plant_hardlink("acks/5", secret);
    EXPECT_EQ(run_every_operation(), "");
    expect_untouched();
    // Links are not followed at all, even to what alice may read herself.
    plant_symlink("acks/5", victim);
    EXPECT_EQ(run_every_operation(), "");
    expect_untouched();
}

TEST_F(MailboxAttacks, PostponementMarkersAreOnlyEverUnlinked)
{
    mailbox();
    for (const char *marker : {"state/5.term", "state/5.gui"}) {
        plant_symlink(marker, victim);
        run_every_operation();
        expect_untouched();
        plant_hardlink(marker, victim);
        run_every_operation();
        expect_untouched();
    }
}

TEST_F(MailboxAttacks, AMailboxOfSomeoneElseIsNeverUsed)
{
    // bob's directory at alice's mailbox, readable and writable by all, with
    // a confirmation of his in it: nothing is written there as alice, and
    // nothing of it counts as hers.
    mkdir(box.c_str(), 0777);
    chown(box.c_str(), 1002, 1002);
    chmod(box.c_str(), 0777);
    run_as("bob", {"sh", "-c", "mkdir -m 777 " + box + "/acks && echo 1 desktop > " + box + "/acks/5"});
    EXPECT_FALSE(deliver_copy(alice, 5, copy));
    EXPECT_EQ(run_every_operation(), "");
    EXPECT_FALSE(exists(box + "/inbox"));
    EXPECT_TRUE(exists(box + "/acks/5"));
    struct stat st;
    ASSERT_EQ(stat(box.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1002u);
}

TEST_F(MailboxAttacks, AFreshMailboxIsTheUsersAndPrivate)
{
    mailbox();
    struct stat st;
    ASSERT_EQ(lstat(box.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1001u);
    EXPECT_EQ(st.st_gid, 1001u);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    for (const char *dir : {"inbox", "read", "acks", "state"}) {
        ASSERT_EQ(lstat((box + "/" + dir).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 1001u) << dir;
        EXPECT_EQ(st.st_mode & 07777, 0755u) << dir;
    }
    ASSERT_EQ(lstat((box + "/inbox/4").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1001u);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}
