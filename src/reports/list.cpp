// kelv list and kelv status: read-only reports on the sent records. Stored
// text (message text, title, author, names) passes clean_text before it is
// printed, like everything else bound for the administrator's terminal.
#include "reports.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

} // namespace

int list(int, char **)
{
    char *dir = xasprintf("%s/sent", var_dir);
    bool present = is_directory(dir);
    free(dir);
    strlist numbers;
    if (!present || list_sent_numbers(numbers) < 0 || numbers.count == 0) {
        printf("No messages sent.\n");
        return 0;
    }
    load_recipient_records(numbers);
    printf("%-5s %-12s ", "ID", "DATE");
    print_text_cell("TEXT", 4);
    printf("  %s\n", "RECIPIENTS");
    for (size_t i = 0; i < numbers.count; i++) {
        const char *name = numbers.items[i];
        int64_t n;
        if (!parse_number(name, n))
            continue;
        if (has_marker(n, "failed")) {
            printf("%-5s %-12s %s\n", name, "-", "[send cancelled: interrupted before it was saved]");
            continue;
        }
        message_summary s;
        if (load_summary(n, s))
            print_list_line(name, s);
    }
    return 0;
}

int status(int argc, char **argv)
{
    const char *arg = argc > 0 ? argv[0] : nullptr;
    int64_t n = parse_message_argument(arg);
    long long id = static_cast<long long>(n);
    // A cancelled send usually never saved its reference copy; it is still
    // the message that list shows as cancelled, not an unknown number.
    if (has_marker(n, "failed"))
        die("message %lld was cancelled: sending was interrupted before it was saved", id);
    message m;
    read_reference(n, arg, m);

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

    if (has_marker(n, "revoked")) {
        // An unreadable record has no time; 01/01 00:00 would be a lie.
        int64_t t = revocation_time(n);
        char when[32] = "?";
        if (t != 0)
            format_time(t, when);
        printf("REVOKED on %s\n", when);
    }
    if (message_expired(m, now()))
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
    strlist number;
    strlist_push(number, xasprintf("%lld", id));
    load_recipient_records(number);
    recipient_lines lines;
    describe_recipients(n, m, lines);
    for (size_t i = 0; i < lines.count; i++) {
        textbuf_clear(line);
        append_clean(line, lines.items[i].name);
        printf("%-16s %s\n", textbuf_str(line), lines.items[i].description);
    }
    return 0;
}
