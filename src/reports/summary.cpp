// Summaries of sent messages for lists: the counts of recipients by state
// and the revoked and expired flags.
#include "reports.h"

#include <cstdlib>
#include <cstring>

message_summary::~message_summary() { free_summary(*this); }

void free_summary(message_summary &s)
{
    message_free(s.message);
    s.number = 0;
    s.confirmed = 0;
    s.delivered = 0;
    s.sent = 0;
    s.revoked = false;
    s.expired = false;
}

bool load_summary(int64_t n, message_summary &s)
{
    free_summary(s);
    s.number = n;
    if (has_marker(n, "failed"))
        return false;
    char *path = sent_path(n, "msg");
    int rc = message_read(path, s.message);
    free(path);
    if (rc < 0)
        return false;
    strlist recipients;
    read_recipients(n, recipients);
    if (recipients.count == 0) {
        message_free(s.message);
        return false;
    }
    strlist delivered, counts;
    read_deliveries(n, delivered, counts);
    strlist_sort(delivered);
    int64_t revoked_at = revocation_time(n);
    for (size_t i = 0; i < recipients.count; i++) {
        recipient_outcome o = evaluate_recipient(recipients.items[i], n, delivered, s.message, revoked_at);
        if (o.state == recipient_confirmed)
            s.confirmed++;
        else if (o.state == recipient_delivered)
            s.delivered++;
        else
            s.sent++;
    }
    s.revoked = has_marker(n, "revoked");
    s.expired = message_expired(s.message, now());
    return true;
}

void summary_text(const message_summary &s, textbuf &out)
{
    if (s.delivered == 0 && s.sent == 0) {
        textbuf_printf(out, "all confirmed (%d)", s.confirmed);
        return;
    }
    const char *sep = "";
    const struct {
        int32_t count;
        const char *word;
    } parts[] = {{s.confirmed, "confirmed"}, {s.delivered, "delivered"}, {s.sent, "sent"}};
    for (const auto &p : parts) {
        if (p.count == 0)
            continue;
        textbuf_printf(out, "%s%d %s", sep, p.count, p.word);
        sep = " · ";
    }
}

void read_reference(int64_t n, const char *arg, message &m)
{
    char *path = sent_path(n, "msg");
    int rc = message_read(path, m);
    free(path);
    if (rc < 0)
        die("no such message: %s", arg);
}
