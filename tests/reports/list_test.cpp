// kelv list and kelv status, black-box in test mode (TZ=UTC) on stores built
// by hand, with the expected output written out in full.
#include "report_store.h"

#include <gtest/gtest.h>

namespace {

struct list_fixture : ::testing::Test {
    test_store s;
    std::string a = "daemon", b = "bin", c = "sys", d = "sync";
    int64_t dec7 = utc(2023, 12, 7, 9, 30);

    void SetUp() override { use_utc(); }
    std::string pad(const std::string &cell, size_t width = 40) { return cell + std::string(width - cell.size(), ' '); }
};

const std::string header = "ID    DATE         TEXT                                      RECIPIENTS\n";

} // namespace

TEST_F(list_fixture, AnEmptyStoreHasNoMessages)
{
    run_result r = s.kelv({"list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "No messages sent.\n");
    mkdir(s.path("sent").c_str(), 0700);
    write_text(s.path("sent/.seq"), "4\n");
    EXPECT_EQ(s.kelv({"list"}).out, "No messages sent.\n");
}

TEST_F(list_fixture, OneLinePerMessageInColumns)
{
    make_record(s, 7, dec7, {a, b, c, d}, "Maintenance tonight\nsecond line\n");
    for (const std::string &u : {a, b, c, d})
        add_delivery(s, 7, u);
    for (const std::string &u : {a, b, c})
        write_confirmation(s, u, 7, std::to_string(dec7 + 60) + " desktop\n");

    run_result r = s.kelv({"list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, header + "7     07/12 09:30  " + pad("Maintenance tonight") + "  3 confirmed · 1 delivered\n");
}

TEST_F(list_fixture, CellsArePrefixedCutAndCleaned)
{
    int64_t t = now();
    make_record(s, 1, dec7, {a}, "x\n", "", t - 10);
    write_text(s.sent(1, "revoked"), std::to_string(t - 20) + "\n");
    make_record(s, 2, dec7, {a}, std::string(50, 'y') + "\n");
    make_record(s, 3, dec7, {a}, "\nonly the second line\n");
    make_record(s, 4, dec7, {a}, "\x1b[31mred\x1b[0m \x1b]0;title\x07é\n");
    mkdir(s.sent(5, "").c_str(), 0700); // cancelled: nothing saved
    write_text(s.sent(5, "failed"), "100\n");
    make_record(s, 6, dec7, {}); // no recipients: left out
    mkdir(s.sent(8, "").c_str(), 0700); // nothing readable: left out
    make_record(s, 123456, dec7, {a}, "long number\n");
    add_delivery(s, 123456, a);
    write_confirmation(s, a, 123456, std::to_string(dec7) + " desktop\n");

    run_result r = s.kelv({"list"});
    EXPECT_EQ(r.status, 0);
    std::string date = "07/12 09:30  ";
    EXPECT_EQ(r.out, header +                                                                         //
                         "1     " + date + pad("[revoked] [expired] x") + "  1 sent\n" +             //
                         "2     " + date + std::string(40, 'y') + "  1 sent\n" +                      //
                         "3     " + date + std::string(40, ' ') + "  1 sent\n" +                      //
                         "4     " + date + "red é" + std::string(35, ' ') + "  1 sent\n" +            //
                         "5     -            [send cancelled: interrupted before it was saved]\n" + //
                         "123456 " + date + pad("long number") + "  all confirmed (1)\n");
}

TEST_F(list_fixture, WideTextKeepsTheColumnsInAPipe)
{
    std::string notice = "サーバーは今夜二十二時から翌朝六時まで停止します。"; // 25 wide characters
    make_record(s, 1, dec7, {a}, "Done ✅ all backups finished\n");
    make_record(s, 2, dec7, {a}, "x" + notice + "\n");
    make_record(s, 3, dec7, {a}, "tab\there\n");
    make_record(s, 4, dec7, {a}, "Plain ASCII text\n");
    // The cell ends after 40 columns: "x", 19 wide characters and a blank
    // where the 20th would have stood across the edge.
    std::string out = s.kelv({"list"}).out, date = "07/12 09:30  ";
    EXPECT_EQ(out, header + "1     " + date + "Done ✅ all backups finished" + std::string(12, ' ') + "  1 sent\n" +
                       "2     " + date + "x" + notice.substr(0, 19 * 3) + "   1 sent\n" + //
                       "3     " + date + pad("tab here") + "  1 sent\n" +              //
                       "4     " + date + pad("Plain ASCII text") + "  1 sent\n");
    // Measured as the terminal shows them, the counts start on one column.
    for (const std::string &line : lines(out))
        EXPECT_EQ(columns(line.substr(0, line.find(line.starts_with("ID") ? "RECIPIENTS" : "1 sent"))), 61u) << line;
}

TEST_F(list_fixture, StatusShowsHeadingTextAndEveryRecipient)
{
    int64_t t = utc(2023, 12, 7, 14, 5);
    make_record(s, 7, dec7, {a, b, c, d}, "Reboot at 13:00.\n\nSave your work.\n", "Maintenance",
                utc(2099, 1, 1, 12, 0));
    add_delivery(s, 7, a, 2);
    add_delivery(s, 7, b, 0);
    add_delivery(s, 7, c, 1);
    write_confirmation(s, a, 7, std::to_string(t) + " terminal pts/3\n");
    put_marker(s, b, 7, "term", utc(2023, 12, 7, 14, 10));

    run_result r = s.kelv({"status", "7"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Message 7 · Maintenance · 07/12 09:30 · from root · expires on 01/01 12:00\n"
                     "  │ Reboot at 13:00.\n"
                     "  │ \n"
                     "  │ Save your work.\n"
                     "\n"
                     "USER             STATE\n"
                     "daemon           confirmed on 07/12 14:05 (terminal pts/3)\n"
                     "bin              delivered, postponed on 07/12 14:10\n"
                     "sys              delivered, written to 1 terminal\n"
                     "sync             sent, not delivered\n");
}

TEST_F(list_fixture, StatusOfRevokedExpiredAndUntitledMessages)
{
    int64_t t = now();
    make_record(s, 3, dec7, {a}, "last line without newline", "", t - 5);
    write_text(s.sent(3, "revoked"), std::to_string(utc(2023, 12, 7, 10, 0)) + "\n");
    add_delivery(s, 3, a);
    char expired[32];
    format_time(t - 5, expired);
    EXPECT_EQ(s.kelv({"status", "3"}).out, "Message 3 · 07/12 09:30 · from root · expired on " + std::string(expired) +
                                               "\n"
                                           "REVOKED on 07/12 10:00\n"
                                           "EXPIRED\n"
                                           "  │ last line without newline\n"
                                           "\n"
                                           "USER             STATE\n"
                                           "daemon           delivered, not confirmed (revoked)\n");

    // An empty text prints no text line; no recipients, the header alone; a
    // revocation record without a readable time shows no made-up date.
    make_record(s, 4, dec7, {}, "", "\x1b[1mBold\x1b[0m");
    write_text(s.sent(4, "revoked"), "");
    EXPECT_EQ(s.kelv({"status", "4"}).out, "Message 4 · Bold · 07/12 09:30 · from root\n"
                                           "REVOKED on ?\n"
                                           "\n"
                                           "USER             STATE\n");
}

TEST_F(list_fixture, StatusRefusals)
{
    make_record(s, 1, dec7, {a});
    s.expect_refused({"status"}, "missing message ID");
    s.expect_refused({"status", ""}, "missing message ID");
    for (const char *bad : {"12a", "-1", "#1", " 1", "1234567890123456789"})
        s.expect_refused({"status", bad}, std::string("no such message: ") + bad);
    s.expect_refused({"status", "0"}, "no such message: 0");
    s.expect_refused({"status", "99"}, "no such message: 99");
    s.expect_refused({"status", "1", "2"}, "too many arguments for status: 2 (kelv --help for the guide)");
    s.expect_refused({"list", "x"}, "too many arguments for list: x (kelv --help for the guide)");

    // A cancelled send is named as such, whether its copy was saved or not.
    mkdir(s.sent(12, "").c_str(), 0700);
    write_text(s.sent(12, "failed"), "100\n");
    s.expect_refused({"status", "12"}, "message 12 was cancelled: sending was interrupted before it was saved");
    make_record(s, 13, dec7, {});
    write_text(s.sent(13, "failed"), "100\n");
    s.expect_refused({"status", "13"}, "message 13 was cancelled: sending was interrupted before it was saved");
}
