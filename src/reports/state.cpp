// Recipient states. The delivery log of the sent record decides whether a
// copy reached the recipient; the recipient's confirmation record decides
// whether it was confirmed, and only when it was made in time. Nothing here
// reports an error: what cannot be read counts as absent, which can only make
// a recipient look less advanced than it is.
#include "reports.h"

#include <cstdlib>
#include <cstring>

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

recipient_outcome evaluate_recipient(const char *user, int64_t n, const strlist &delivered,
                                     const message &m, int64_t revoked_at)
{
    recipient_outcome o;
    if (!strlist_contains(delivered, user))
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
    }
    free(l.items);
    l.items = nullptr;
    l.count = 0;
    l.cap = 0;
}

static void push_line(recipient_lines &l, const char *name, recipient_state state, char *description)
{
    if (l.count == l.cap) {
        l.cap = l.cap ? l.cap * 2 : 16;
        l.items = static_cast<recipient_line *>(xrealloc(l.items, l.cap * sizeof *l.items));
    }
    l.items[l.count++] = {xstrdup(name), state, description};
}

// The ", written to ..., postponed on ..." part of a delivered recipient of a
// message that is still current.
static void describe_progress(const char *user, int64_t n, const strlist &delivered,
                              const strlist &counts, textbuf &out)
{
    for (size_t i = 0; i < delivered.count; i++) {
        if (strcmp(delivered.items[i], user) != 0)
            continue;
        int64_t terminals;
        if (i < counts.count && parse_number(counts.items[i], terminals)) {
            if (terminals == 1)
                textbuf_append_str(out, ", written to 1 terminal");
            else if (terminals >= 2)
                textbuf_printf(out, ", written to %lld terminals", static_cast<long long>(terminals));
        }
        break;
    }
    const mailbox_record *r = find_record(records_for_user(user), n);
    if (r && r->postponed) {
        char when[32];
        format_time(r->postponed, when);
        textbuf_printf(out, ", postponed on %s", when);
    }
}

void describe_recipients(int64_t n, const message &m, recipient_lines &out)
{
    int64_t revoked_at = revocation_time(n);
    bool revoked = has_marker(n, "revoked");
    bool incomplete = has_marker(n, "incomplete");
    bool expired = message_expired(m, now());
    strlist recipients, delivered, counts;
    read_recipients(n, recipients);
    if (recipients.count == 0)
        return;
    read_deliveries(n, delivered, counts);
    strlist given_up;
    read_given_up(n, given_up);

    for (size_t i = 0; i < recipients.count; i++) {
        const char *user = recipients.items[i];
        recipient_outcome o = evaluate_recipient(user, n, delivered, m, revoked_at);
        textbuf d;
        textbuf_append_str(d, "");
        if (o.state == recipient_confirmed) {
            char when[32];
            format_time(o.confirmed_at, when);
            // The channel is the user's own words: they must not run on into
            // what would read as a row of its own.
            textbuf label, channel;
            channel_label(o.channel, label);
            textbuf_append_field(channel, textbuf_str(label), user_field_columns);
            textbuf_printf(d, "confirmed on %s (%s)", when, textbuf_str(channel));
        } else if (o.state == recipient_delivered) {
            textbuf_append_str(d, "delivered");
            if (revoked)
                textbuf_append_str(d, ", not confirmed (revoked)");
            else if (o.late)
                textbuf_append_str(d, ", not confirmed (expired; confirmation arrived after the expiry)");
            else if (expired)
                textbuf_append_str(d, ", not confirmed (expired)");
            else
                describe_progress(user, n, delivered, counts, d);
        } else if (strlist_contains(given_up, user)) {
            textbuf_printf(d, "sent, not delivered: the copy could not be written, given up after %d tries (see "
                              "the log)",
                           tries_limit);
        } else if (incomplete) {
            textbuf_append_str(d, "sent, not delivered: the copy could not be written (see the log; the "
                                  "next kelv command will retry)");
        } else {
            textbuf_append_str(d, "sent, not delivered");
        }
        push_line(out, user, o.state, xstrdup(d.data));
    }
}
