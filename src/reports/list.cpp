// kelv list and kelv status: read-only reports on the sent records, as text
// for a person or as JSON for scripts, both from the same data. Stored text
// (message text, title, author, names) passes clean_text before it is
// printed, like everything else bound for the administrator's terminal; the
// JSON carries it as stored and print_json escapes it.
#include "reports.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

namespace {

void append_clean(textbuf &out, const char *s)
{
    clean_text(s, strlen(s), out);
}

void print_list_line(const char *name, const message_summary &s)
{
    textbuf cell;
    textbuf_append_str(cell, "");
    if (s.revoked)
        textbuf_append_str(cell, "[revoked] ");
    if (s.expired)
        textbuf_append_str(cell, "[expired] ");
    const char *text = s.message.text ? s.message.text : "";
    const char *nl = strchr(text, '\n');
    clean_text(text, nl ? static_cast<size_t>(nl - text) : strlen(text), cell);

    char when[32];
    format_time(s.message.date, when);
    textbuf summary;
    summary_text(s, summary);
    printf("%-5s %-12s ", name, when);
    print_text_cell(cell.data, cell.len);
    printf("  %s\n", textbuf_str(summary));
}

// One message of list --json; s NULL: a send cancelled before it was saved,
// of which only the number is known.
nlohmann::ordered_json list_element(int64_t n, const message_summary *s)
{
    message none;
    nlohmann::ordered_json e = json_message(n, s ? s->message : none);
    e["cancelled"] = !s;
    if (!s) {
        for (const char *key : {"first_line", "revoked", "expired", "confirmed", "delivered", "sent"})
            e[key] = nullptr;
        return e;
    }
    const char *text = s->message.text ? s->message.text : "";
    e["first_line"] = std::string(text, strcspn(text, "\n"));
    e["revoked"] = s->revoked;
    e["expired"] = s->expired;
    e["confirmed"] = s->confirmed;
    e["delivered"] = s->delivered;
    e["sent"] = s->sent;
    return e;
}

} // namespace

int list(int argc, char **argv)
{
    bool json = take_json_option(argc, argv);
    nlohmann::ordered_json messages = nlohmann::ordered_json::array();
    char *dir = xasprintf("%s/sent", var_dir);
    bool present = is_directory(dir);
    free(dir);
    strlist numbers;
    if (!present || list_sent_numbers(numbers) < 0 || numbers.count == 0) {
        if (json)
            print_json({{"messages", messages}});
        else
            printf("No messages sent.\n");
        return 0;
    }
    load_recipient_records(numbers);
    if (!json) {
        printf("%-5s %-12s ", "ID", "DATE");
        print_text_cell("TEXT", 4);
        printf("  %s\n", "RECIPIENTS");
    }
    for (size_t i = 0; i < numbers.count; i++) {
        const char *name = numbers.items[i];
        int64_t n;
        if (!parse_number(name, n))
            continue;
        if (has_marker(n, "failed")) {
            if (json)
                messages.push_back(list_element(n, nullptr));
            else
                printf("%-5s %-12s %s\n", name, "-", "[send cancelled: interrupted before it was saved]");
            continue;
        }
        message_summary s;
        if (!load_summary(n, s))
            continue;
        if (json)
            messages.push_back(list_element(n, &s));
        else
            print_list_line(name, s);
    }
    if (json)
        print_json({{"messages", std::move(messages)}});
    return 0;
}

namespace {

// What status shows of message n: the reference copy, its revocation and
// expiry, and the state of each recipient.
struct status_report {
    int64_t n = 0;
    message m;
    bool revoked = false;
    int64_t revoked_at = 0; // 0: no readable time
    bool expired = false;
    bool incomplete = false; // the send is still to be finished
    recipient_lines recipients;
};

void print_status_text(const status_report &r)
{
    long long id = static_cast<long long>(r.n);
    const message &m = r.m;
    textbuf heading, raw, line;
    message_heading(m, raw);
    clean_text(raw.data, raw.len, heading);
    textbuf from;
    append_clean(from, m.from ? m.from : "");
    printf("Message %lld · %s · from %s", id, textbuf_str(heading), textbuf_str(from));
    if (m.expires != 0) {
        char when[32];
        format_time(m.expires, when);
        printf(" · %s on %s", message_expired(m, now()) ? "expired" : "expires", when);
    }
    printf("\n");

    if (r.revoked) {
        // An unreadable record has no time; 01/01 00:00 would be a lie.
        char when[32] = "?";
        if (r.revoked_at != 0)
            format_time(r.revoked_at, when);
        printf("REVOKED on %s\n", when);
    }
    if (r.expired)
        printf("EXPIRED\n");

    textbuf text;
    append_clean(text, m.text ? m.text : "");
    const char *p = textbuf_str(text);
    while (*p) {
        const char *nl = strchr(p, '\n');
        int len = static_cast<int>(nl ? nl - p : static_cast<ptrdiff_t>(strlen(p)));
        printf("  │ %.*s\n", len, p);
        p += len + (nl ? 1 : 0);
    }

    printf("\n%-16s %s\n", "USER", "STATE");
    for (size_t i = 0; i < r.recipients.count; i++) {
        const recipient_line &l = r.recipients.items[i];
        textbuf name;
        append_clean(name, l.name);
        textbuf_clear(line);
        textbuf_append_padded(line, textbuf_str(name), 16);
        textbuf description;
        describe_recipient(l, r.revoked, r.expired, r.incomplete, description);
        printf("%s %s\n", textbuf_str(line), textbuf_str(description));
    }
}

void print_status_json(const status_report &r)
{
    static const char *const states[] = {"sent", "delivered", "confirmed"};
    nlohmann::ordered_json doc = json_message(r.n, r.m);
    doc["expired"] = r.expired;
    doc["revoked"] = r.revoked;
    doc["revoked_at"] = json_time(r.revoked ? r.revoked_at : 0);
    doc["incomplete"] = r.incomplete;
    doc["text"] = json_text(r.m.text);
    nlohmann::ordered_json recipients = nlohmann::ordered_json::array();
    for (size_t i = 0; i < r.recipients.count; i++) {
        const recipient_line &l = r.recipients.items[i];
        recipients.push_back({{"user", l.name},
                              {"state", states[l.state]},
                              {"confirmed_at", json_time(l.confirmed_at)},
                              {"channel", json_text(l.channel)},
                              {"late", l.late},
                              {"terminals", l.terminals >= 0 ? nlohmann::ordered_json(l.terminals) : nullptr},
                              {"postponed_at", json_time(l.postponed)},
                              {"given_up", l.given_up}});
    }
    doc["recipients"] = std::move(recipients);
    print_json(doc);
}

} // namespace

int status(int argc, char **argv)
{
    bool json = take_json_option(argc, argv);
    const char *arg = argc > 0 ? argv[0] : nullptr;
    status_report r;
    r.n = parse_message_argument(arg);
    // A cancelled send usually never saved its reference copy; it is still
    // the message that list shows as cancelled, not an unknown number.
    if (has_marker(r.n, "failed"))
        die("message %lld was cancelled: sending was interrupted before it was saved", static_cast<long long>(r.n));
    read_reference(r.n, arg, r.m);
    r.revoked = has_marker(r.n, "revoked");
    r.revoked_at = r.revoked ? revocation_time(r.n) : 0;
    r.expired = message_expired(r.m, now());
    r.incomplete = has_marker(r.n, "incomplete");
    strlist number;
    strlist_push(number, xasprintf("%lld", static_cast<long long>(r.n)));
    load_recipient_records(number);
    judge_recipients(r.n, r.m, r.recipients);
    if (json)
        print_status_json(r);
    else
        print_status_text(r);
    return 0;
}
