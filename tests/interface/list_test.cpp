// Loading the list of sent messages, in-process: a reload after changes
// shows what a fresh kelv list and kelv status show for the same store.
#include "interface/interface.h"
#include "report_store.h"

#include <gtest/gtest.h>
#include <map>
#include <unistd.h>

namespace {

// What kelv list shows of each message: the text cell's prefixes and the
// summary, by number.
std::map<int64_t, std::string> listed(const test_store &s)
{
    run_result r = s.kelv({"list"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<int64_t, std::string> out;
    std::vector<std::string> lines = split_lines(r.out);
    for (size_t i = 1; i < lines.size(); i++) {
        const std::string &l = lines[i];
        bool revoked = l.compare(19, 10, "[revoked] ") == 0;
        out[std::stoll(l.substr(0, 5))] = (revoked ? "[revoked] " : "") + l.substr(61);
    }
    return out;
}

std::map<int64_t, std::string> shown(const message_list &l)
{
    std::map<int64_t, std::string> out;
    for (size_t i = 0; i < l.count; i++) {
        textbuf t;
        summary_text(*l.items[i], t);
        out[l.items[i]->number] = (l.items[i]->revoked ? "[revoked] " : "") + std::string(textbuf_str(t));
    }
    return out;
}

} // namespace

TEST(ListLoad, AReloadShowsEveryChangeSinceTheLastAsAFreshKelvWould)
{
    test_store s;
    use_utc();
    const std::string other = "daemon";
    int64_t sent_at = now() - 3600;
    for (long long n = 1; n <= 3; n++) {
        make_record(s, n, sent_at + n, {other, s.me}, "Message " + std::to_string(n) + ".\n");
        add_delivery(s, n, other);
        add_delivery(s, n, s.me);
        write_confirmation(s, other, n, std::to_string(sent_at + 10) + " desktop\n");
        put_copy(s, s.me, n);
    }
    put_marker(s, s.me, 2, "term", sent_at + 20);

    message_list l;
    load_message_list(l, "");
    EXPECT_EQ(shown(l), listed(s));
    // Once the sent records are a second old, a reload keeps what it can.
    usleep(1100 * 1000);
    load_message_list(l, "");

    // Between two reloads: a confirmation through the helper, a postponement
    // touching the marker again (as the prompt does), a revocation.
    run_options helper;
    helper.env = {"KELV_TEST=1", "KELV_VAR=" + s.dir.path};
    ASSERT_EQ(run_program({kelvora_user_path(), "confirm", "1", "terminal pts/9"}, helper).status, 0);
    int64_t postponed_at = now() - 60;
    set_mtime(s.mailbox(s.me, "state/2.term"), postponed_at);
    ASSERT_EQ(s.kelv({"revoke", "3"}).status, 0);
    load_message_list(l, "");

    std::map<int64_t, std::string> fresh = listed(s);
    EXPECT_EQ(shown(l), fresh);
    EXPECT_EQ(fresh, (std::map<int64_t, std::string>{{1, "all confirmed (2)"},
                                                     {2, "1 confirmed · 1 delivered"},
                                                     {3, "[revoked] 1 confirmed · 1 delivered"}}));
    // The postponement, from the records the reload kept, as the message's
    // recipients show it.
    message m;
    ASSERT_EQ(message_read(s.sent(2, "msg").c_str(), m), 0);
    recipient_lines lines;
    describe_recipients(2, m, lines);
    ASSERT_EQ(lines.count, 2u);
    char when[32];
    format_time(postponed_at, when);
    EXPECT_EQ(std::string(lines.items[1].description), "delivered, written to 1 terminal, postponed on " + std::string(when));
    EXPECT_NE(s.kelv({"status", "2"}).out.find(lines.items[1].description), std::string::npos);
    forget_records();
}
