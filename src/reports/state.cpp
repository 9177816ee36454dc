// Recipient states. The delivery log of the sent record decides whether a
// copy reached the recipient; the recipient's confirmation record decides
// whether it was confirmed, and only when it was made in time. Nothing here
// reports an error: what cannot be read counts as absent, which can only make
// a recipient look less advanced than it is.
#include "reports.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>

recipient_outcome::recipient_outcome(recipient_outcome &&other) noexcept
    : state(other.state), late(other.late), confirmed_at(other.confirmed_at), channel(other.channel)
{
    other.channel = nullptr;
    recipient_outcome_free(other);
}

recipient_outcome::~recipient_outcome() { recipient_outcome_free(*this); }

void recipient_outcome_free(recipient_outcome &o)
{
    free(o.channel);
    o.state = recipient_sent;
    o.late = false;
    o.confirmed_at = 0;
    o.channel = nullptr;
}

int64_t revocation_time(int64_t n)
{
    char *path = sent_path(n, "revoked");
    textbuf b;
    int rc = read_file(path, 64, true, b);
    free(path);
    int64_t t = 0;
    if (rc < 0 || !b.data)
        return 0;
    if (char *nl = strchr(b.data, '\n'))
        *nl = '\0';
    if (!parse_number(b.data, t))
        return 0;
    return t;
}

void load_recipient_records(const strlist &numbers)
{
    std::unordered_set<std::string> seen;
    strlist names;
    for (size_t i = 0; i < numbers.count; i++) {
        int64_t n;
        strlist recipients;
        if (!parse_number(numbers.items[i], n))
            continue;
        read_recipients(n, recipients);
        for (size_t j = 0; j < recipients.count; j++)
            if (seen.insert(recipients.items[j]).second)
                strlist_push_copy(names, recipients.items[j]);
    }
    load_records(names);
}

recipient_outcome evaluate_recipient(const char *user, int64_t n, const strlist &delivered,
                                     const message &m, int64_t revoked_at)
{
    recipient_outcome o;
    if (!strlist_contains_sorted(delivered, user))
        return o;
    o.state = recipient_delivered;

    const mailbox_record *r = find_record(records_for_user(user), n);
    if (!r || !r->confirmation || !*r->confirmation)
        return o;
    const char *text = r->confirmation;
    const char *blank = strchr(text, ' ');
    size_t word = blank ? static_cast<size_t>(blank - text) : strlen(text);
    char *first = xstrndup(text, word);
    int64_t t = 0;
    if (!parse_number(first, t))
        t = 0;
    free(first);

    // A confirmation made in the very second of the expiry or of the
    // revocation still counts.
    if (m.expires != 0 && m.expires < t) {
        o.late = true;
        return o;
    }
    if (revoked_at != 0 && revoked_at < t)
        return o;
    o.state = recipient_confirmed;
    o.confirmed_at = t;
    o.channel = xstrdup(blank && blank[1] ? blank + 1 : "?");
    return o;
}

recipient_lines::~recipient_lines() { free_recipient_lines(*this); }

void free_recipient_lines(recipient_lines &l)
{
    for (size_t i = 0; i < l.count; i++) {
        free(l.items[i].name);
        free(l.items[i].description);
        free(l.items[i].channel);
    }
    free(l.items);
    l.items = nullptr;
    l.count = 0;
    l.cap = 0;
}

static recipient_line &push_line(recipient_lines &l)
{
    if (l.count == l.cap) {
        l.cap = l.cap ? l.cap * 2 : 16;
        l.items = static_cast<recipient_line *>(xrealloc(l.items, l.cap * sizeof *l.items));
    }
    return l.items[l.count++];
}

// The number of terminals in user's line of the delivery log, -1 when it has
// none that reads as a number.
static int64_t terminals_written(const char *user, const strlist &delivered, const strlist &counts)
{
    for (size_t i = 0; i < delivered.count; i++) {
        if (strcmp(delivered.items[i], user) != 0)
            continue;
        int64_t terminals;
        if (i < counts.count && parse_number(counts.items[i], terminals))
            return terminals;
        break;
    }
    return -1;
}

void judge_recipients(int64_t n, const message &m, recipient_lines &out)
{
    int64_t revoked_at = revocation_time(n);
    strlist recipients, delivered, counts;
    read_recipients(n, recipients);
    if (recipients.count == 0)
        return;
    read_deliveries(n, delivered, counts);
    // Sorted for the judgement; the counts go with the log's own order.
    strlist sorted;
    for (size_t i = 0; i < delivered.count; i++)
        strlist_push_copy(sorted, delivered.items[i]);
    strlist_sort(sorted);
    strlist given_up;
    read_given_up(n, given_up);

    for (size_t i = 0; i < recipients.count; i++) {
        const char *user = recipients.items[i];
        recipient_outcome o = evaluate_recipient(user, n, sorted, m, revoked_at);
        recipient_line &l = push_line(out);
        l = {xstrdup(user), o.state, xstrdup(""), o.late, o.confirmed_at, o.channel, -1, 0, false};
        o.channel = nullptr;
        if (o.state == recipient_sent) {
            l.given_up = strlist_contains(given_up, user);
            continue;
        }
        l.terminals = terminals_written(user, delivered, counts);
        const mailbox_record *r = find_record(records_for_user(user), n);
        l.postponed = r ? r->postponed : 0;
    }
}

void describe_recipient(const recipient_line &l, bool revoked, bool expired, bool incomplete, textbuf &d)
{
    if (l.state == recipient_confirmed) {
        char when[32];
        format_time(l.confirmed_at, when);
        // The channel is the user's own words: they must not run on into
        // what would read as a row of its own.
        textbuf label, channel;
        channel_label(l.channel, label);
        textbuf_append_field(channel, textbuf_str(label), user_field_columns);
        textbuf_printf(d, "confirmed on %s (%s)", when, textbuf_str(channel));
    } else if (l.state == recipient_delivered) {
        textbuf_append_str(d, "delivered");
        if (revoked) {
            textbuf_append_str(d, ", not confirmed (revoked)");
        } else if (l.late) {
            textbuf_append_str(d, ", not confirmed (expired; confirmation arrived after the expiry)");
        } else if (expired) {
            textbuf_append_str(d, ", not confirmed (expired)");
        } else {
            if (l.terminals == 1)
                textbuf_append_str(d, ", written to 1 terminal");
            else if (l.terminals >= 2)
                textbuf_printf(d, ", written to %lld terminals", static_cast<long long>(l.terminals));
            if (l.postponed) {
                char when[32];
                format_time(l.postponed, when);
                textbuf_printf(d, ", postponed on %s", when);
            }
        }
    } else if (l.given_up) {
        textbuf_printf(d, "sent, not delivered: the copy could not be written, given up after %d tries (see "
                          "the log)",
                       tries_limit);
    } else if (incomplete) {
        textbuf_append_str(d, "sent, not delivered: the copy could not be written (see the log; the "
                              "next kelv command will retry)");
    } else {
        textbuf_append_str(d, "sent, not delivered");
    }
}

void describe_recipients(int64_t n, const message &m, recipient_lines &out)
{
    bool revoked = has_marker(n, "revoked");
    bool incomplete = has_marker(n, "incomplete");
    bool expired = message_expired(m, now());
    size_t first = out.count;
    judge_recipients(n, m, out);
    for (size_t i = first; i < out.count; i++) {
        textbuf d;
        textbuf_append_str(d, "");
        describe_recipient(out.items[i], revoked, expired, incomplete, d);
        free(out.items[i].description);
        out.items[i].description = d.data;
        d.data = nullptr;
    }
}
