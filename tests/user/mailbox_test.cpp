// The helper's mailbox operations, in-process on a private mailbox.
#include "store.h"
#include "user/user.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct user_mailbox : ::testing::Test {
    test_store s;
    std::string box;

    void SetUp() override
    {
        box = s.mailbox(s.me, "");
        mkdir(s.path("users").c_str(), 0755);
        mkdir(box.c_str(), 0700);
        for (const char *d : {"inbox", "read", "acks", "state"})
            mkdir((box + "/" + d).c_str(), 0755);
        user_name = xstrdup(s.me.c_str());
        mailbox_dir = xstrdup(box.c_str());
        config_parse(nullptr, settings);
    }
    void TearDown() override
    {
        free(user_name);
        free(mailbox_dir);
    }
    std::string at(const std::string &rel) const { return box + "/" + rel; }
    void copy(long long n, int64_t expires = 0)
    {
        write_text(at("inbox/" + std::to_string(n)),
                   "format: 1\nid: " + std::to_string(n) + "\nfrom: root\ndate: 100\ntitle: \nexpires: " +
                       (expires ? std::to_string(expires) : "") + "\n\ntext\n");
    }
    void age(const std::string &rel, int64_t seconds_ago)
    {
        time_t t = static_cast<time_t>(now() - seconds_ago);
        struct timeval tv[2] = {{t, 0}, {t, 0}};
        utimes(at(rel).c_str(), tv);
    }
};

std::string joined(const strlist &l)
{
    std::string s;
    for (size_t i = 0; i < l.count; i++)
        s += std::string(l.items[i]) + " ";
    return s;
}

} // namespace

TEST_F(user_mailbox, PendingIsNumericAndSkipsWhatIsNotACopy)
{
    copy(12);
    copy(7);
    write_text(at("inbox/notes"), "x");
    write_text(at("inbox/3.tmp"), "x");
    mkdir(at("inbox/9").c_str(), 0755);
    strlist l;
    collect_pending(l);
    EXPECT_EQ(joined(l), "7 12 ");
}

TEST_F(user_mailbox, PendingArchivesConfirmedAndExpiredCopies)
{
    copy(1);
    write_text(at("acks/1"), "5 desktop\n");
    write_text(at("state/1.term"), "");
    copy(2, now()); // expires this very second
    write_text(at("state/2.gui"), "");
    copy(3, now() + 3600);
    strlist l;
    collect_pending(l);
    EXPECT_EQ(joined(l), "3 ");
    EXPECT_TRUE(exists(at("read/1")));
    EXPECT_FALSE(exists(at("state/1.term"))); // archived after confirmation: markers go
    EXPECT_TRUE(exists(at("read/2")));
    EXPECT_TRUE(exists(at("state/2.gui"))); // expired: markers stay
}

TEST_F(user_mailbox, PostponementIsRecentForTheRemindInterval)
{
    write_text(at("state/4.term"), "");
    age("state/4.term", 29 * 60);
    EXPECT_TRUE(recently_postponed(4, "term"));
    EXPECT_FALSE(recently_postponed(4, "gui"));
    age("state/4.term", 30 * 60);
    EXPECT_FALSE(recently_postponed(4, "term"));
    age("state/4.term", -600); // from the future
    EXPECT_TRUE(recently_postponed(4, "term"));
    settings.remind_minutes = 5;
    age("state/4.term", 6 * 60);
    EXPECT_FALSE(recently_postponed(4, "term"));
}

TEST_F(user_mailbox, PostponingTouchesTheMarkerButNeverALink)
{
    postpone_message(5, "term");
    struct stat st;
    ASSERT_EQ(stat(at("state/5.term").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    age("state/5.term", 3600);
    postpone_message(5, "term");
    EXPECT_TRUE(recently_postponed(5, "term"));

    write_text(s.path("victim"), "");
    symlink(s.path("victim").c_str(), at("state/6.gui").c_str());
    struct stat before, after;
    stat(s.path("victim").c_str(), &before);
    sleep(1);
    postpone_message(6, "gui");
    stat(s.path("victim").c_str(), &after);
    EXPECT_EQ(before.st_mtime, after.st_mtime);
}

TEST_F(user_mailbox, ExpiryNeedsAReadableCopyWithAnExpiry)
{
    copy(1, now());
    copy(2);
    copy(3, now() + 60);
    write_text(at("inbox/4"), "garbage without a date");
    EXPECT_TRUE(copy_expired(1));
    EXPECT_FALSE(copy_expired(2));
    EXPECT_FALSE(copy_expired(3));
    EXPECT_FALSE(copy_expired(4));
    EXPECT_FALSE(copy_expired(5));
}

TEST_F(user_mailbox, ConfirmationWritesOneRecordAndArchives)
{
    copy(8);
    write_text(at("state/8.term"), "");
    int64_t before = now();
    EXPECT_EQ(confirm_message(8, "terminal pts/3"), confirm_recorded);
    std::string record = read_text(at("acks/8"));
    long long t = 0;
    char channel[64] = "";
    ASSERT_EQ(sscanf(record.c_str(), "%lld %63[^\n]", &t, channel), 2);
    EXPECT_GE(t, before);
    EXPECT_STREQ(channel, "terminal pts/3");
    EXPECT_EQ(record.back(), '\n');
    EXPECT_TRUE(exists(at("read/8")));
    EXPECT_FALSE(exists(at("inbox/8")));
    EXPECT_FALSE(exists(at("state/8.term")));
    EXPECT_EQ(list_dir(at("acks")), std::vector<std::string>{"8"});
}

TEST_F(user_mailbox, TheFourResults)
{
    // Already confirmed: a leftover copy is archived, the record stays.
    copy(1);
    write_text(at("acks/1"), "9 desktop\n");
    EXPECT_EQ(confirm_message(1, "desktop"), confirm_recorded);
    EXPECT_EQ(read_text(at("acks/1")), "9 desktop\n");
    EXPECT_TRUE(exists(at("read/1")));
    // No copy: revoked, nothing created.
    EXPECT_EQ(confirm_message(2, "desktop"), confirm_revoked);
    EXPECT_FALSE(exists(at("acks/2")));
    // Expired: archived, markers gone, no record.
    copy(3, now());
    write_text(at("state/3.gui"), "");
    EXPECT_EQ(confirm_message(3, "desktop"), confirm_expired);
    EXPECT_FALSE(exists(at("acks/3")));
    EXPECT_TRUE(exists(at("read/3")));
    EXPECT_FALSE(exists(at("state/3.gui")));
    // The record cannot be written: the copy stays for the next question.
    copy(4);
    unlink(at("acks/1").c_str());
    rmdir(at("acks").c_str());
    write_text(at("acks"), "not a directory");
    EXPECT_EQ(confirm_message(4, "desktop"), confirm_failed);
    EXPECT_TRUE(exists(at("inbox/4")));
    // A channel that the record line cannot hold is refused, not cut.
    unlink(at("acks").c_str());
    mkdir(at("acks").c_str(), 0755);
    EXPECT_EQ(confirm_message(4, std::string(250, 'c').c_str()), confirm_failed);
    EXPECT_EQ(list_dir(at("acks")), std::vector<std::string>{});
}

TEST_F(user_mailbox, RacingConfirmationsLeaveExactlyOneRecord)
{
    for (int round = 0; round < 30; round++) {
        long long n = 100 + round;
        copy(n);
        const int racers = 6;
        std::vector<pid_t> pids;
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        for (int r = 0; r < racers; r++) {
            pid_t pid = fork();
            if (pid == 0) {
                close(go[1]);
                char c;
                if (read(go[0], &c, 1) < 0)
                    _exit(9);
                std::string channel = "racer " + std::to_string(r);
                _exit(confirm_message(n, channel.c_str()));
            }
            pids.push_back(pid);
        }
        close(go[0]);
        close(go[1]); // all start at once
        for (pid_t pid : pids) {
            int st;
            waitpid(pid, &st, 0);
            EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "round " << round;
        }
        std::string record = read_text(at("acks/" + std::to_string(n)));
        EXPECT_NE(record.find(" racer "), std::string::npos);
        EXPECT_EQ(std::count(record.begin(), record.end(), '\n'), 1);
    }
    // No temporary file is ever left behind.
    for (const std::string &name : list_dir(at("acks")))
        EXPECT_NE(name[0], '.') << name;
    EXPECT_EQ(list_dir(at("inbox")), std::vector<std::string>{});
}
