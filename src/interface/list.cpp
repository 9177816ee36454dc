// The home screen: every sent message, newest first, with its confirmation
// bar and counts. Loading (load_message_list) and drawing (list_body) are
// apart: the screen is built from whatever the last load left in the list.
#include "interface.h"
#include "guide/guide.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <time.h>
#include <utility>
#include <vector>

namespace {

// Columns of a row besides the message cell: marker, number (3), two
// blanks, date (11), two blanks, the message cell, two blanks, the bar (12),
// two blanks, the counts.
const int number_width = 3;
// Room for the counts at the end of a row: the wide layout's sentence, the
// narrow layout's "confirmed/total".
const int wide_counts_room = 42;
const int narrow_counts_room = 5;

bool is_wide() { return screen_cols - 4 >= 106; }

// The summaries of the last load, for the next.
summary_cache kept;

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// A byte-wise substring search where ASCII letters match in either case.
bool contains_ignoring_case(const char *text, const char *needle)
{
    size_t n = strlen(needle);
    for (const char *p = text; *p; p++) {
        size_t i = 0;
        while (i < n && p[i] && ascii_lower(p[i]) == ascii_lower(needle[i]))
            i++;
        if (i == n)
            return true;
    }
    return n == 0;
}

bool matches(const message_summary &s, const char *search_text)
{
    return contains_ignoring_case(s.message.text ? s.message.text : "", search_text) ||
           contains_ignoring_case(s.message.title ? s.message.title : "", search_text);
}

void list_push(message_list &l, message_summary *s)
{
    if (l.count == l.cap) {
        l.cap = l.cap ? l.cap * 2 : 16;
        l.items = static_cast<message_summary **>(xrealloc(l.items, l.cap * sizeof *l.items));
    }
    l.items[l.count++] = s;
}

void counts_cell(textbuf &out, const message_summary &s, bool wide)
{
    if (wide)
        coloured_summary(out, s);
    else
        textbuf_printf(out, "%d/%d", s.confirmed, s.confirmed + s.delivered + s.sent);
}

// The widths the list's numbers need; the message cell gives way when the
// layout's columns are too narrow for them, so the counts are never cut.
struct column_widths {
    int number = number_width;
    int counts = 0;
};

column_widths measure(const message_list &l, bool wide)
{
    column_widths w;
    for (size_t i = 0; i < l.count; i++) {
        int digits = snprintf(nullptr, 0, "%lld", static_cast<long long>(l.items[i]->number));
        if (digits > w.number)
            w.number = digits;
        textbuf cell;
        counts_cell(cell, *l.items[i], wide);
        int cw = display_width(textbuf_str(cell));
        if (cw > w.counts)
            w.counts = cw;
    }
    return w;
}

void message_cell(textbuf &out, const message_summary &s)
{
    if (s.revoked)
        textbuf_printf(out, "%s[revoked] %s", style_grey, style_reset);
    if (s.expired)
        textbuf_printf(out, "%s[expired] %s", style_grey, style_reset);
    const char *title = s.message.title ? s.message.title : "";
    if (*title) {
        textbuf_append_str(out, style_bold);
        append_clean_line(out, title, strlen(title));
        textbuf_printf(out, "%s · ", style_reset);
    }
    const char *text = s.message.text ? s.message.text : "";
    const char *nl = strchr(text, '\n');
    append_clean_line(out, text, nl ? static_cast<size_t>(nl - text) : strlen(text));
}

// The selected row in one colour across the whole width.
char *highlight(const char *row, int width)
{
    textbuf plain, out;
    for (const char *p = row; *p; p++) {
        if (*p == '\x1b') {
            while (*p && *p != 'm')
                p++;
            if (!*p)
                break;
            continue;
        }
        textbuf_append_char(plain, *p);
    }
    textbuf_append_str(out, style_selected);
    append_fitted(out, textbuf_str(plain), width);
    return xstrdup(textbuf_str(out));
}

} // namespace

message_list::~message_list() { message_list_free(*this); }

void message_list_free(message_list &l)
{
    for (size_t i = 0; i < l.count; i++)
        delete l.items[i];
    free(l.items);
    l.items = nullptr;
    l.count = l.cap = 0;
}

void load_message_list(message_list &l, const char *search_text)
{
    int64_t started = now();
    message_list_free(l);
    // Confirmations written since the last load must be seen: the mailboxes
    // that may have changed are read again, and the summaries built again
    // that may have changed with them or with their sent records.
    refresh_records();
    strlist numbers;
    list_sent_numbers(numbers);
    summary_cache_prepare(kept, numbers);
    for (size_t i = numbers.count; i-- > 0;) {
        int64_t n;
        if (!parse_number(numbers.items[i], n))
            continue;
        message_summary *s = new message_summary;
        if (load_summary_kept(kept, n, *s) && (!*search_text || matches(*s, search_text)))
            list_push(l, s);
        else
            delete s;
    }
    format_clock(started, l.loaded_at);
}

void format_clock(int64_t t, char out[16])
{
    time_t when = static_cast<time_t>(t);
    struct tm tm;
    if (!localtime_r(&when, &tm) || strftime(out, 16, "%H:%M:%S", &tm) == 0)
        strcpy(out, "?");
}

void confirmation_bar(textbuf &out, int confirmed, int delivered, int sent)
{
    int64_t total = static_cast<int64_t>(confirmed) + delivered + sent;
    if (total < 1)
        total = 1;
    int nc = static_cast<int>(confirmed * int64_t{12} / total);
    int ns = static_cast<int>(sent * int64_t{12} / total);
    if (sent > 0 && ns == 0)
        ns = 1;
    if (delivered > 0 && nc + ns == 12 && nc > 0)
        nc--;
    int nd = 12 - nc - ns;
    textbuf_append_str(out, style_green);
    for (int i = 0; i < nc; i++)
        textbuf_append_str(out, "█");
    textbuf_append_str(out, style_yellow);
    for (int i = 0; i < nd; i++)
        textbuf_append_str(out, "▒");
    textbuf_append_str(out, style_red);
    for (int i = 0; i < ns; i++)
        textbuf_append_str(out, "░");
    textbuf_append_str(out, style_reset);
}

void coloured_summary(textbuf &out, const message_summary &s)
{
    if (s.delivered == 0 && s.sent == 0) {
        textbuf_printf(out, "%sall confirmed (%d)%s", style_green, s.confirmed, style_reset);
        return;
    }
    const char *sep = "";
    const struct {
        int32_t count;
        const char *word;
        const char *style;
    } parts[] = {{s.confirmed, "confirmed", style_green},
                 {s.delivered, "delivered", style_yellow},
                 {s.sent, "sent", style_red}};
    for (const auto &p : parts) {
        if (p.count == 0)
            continue;
        textbuf_printf(out, "%s%s%d %s%s", sep, p.style, p.count, p.word, style_reset);
        sep = " · ";
    }
}

void list_body(strlist &lines, const message_list &l, size_t selected, size_t top, const char *search_text)
{
    int usable = screen_cols - 4;
    bool wide = is_wide();
    column_widths cw = measure(l, wide);
    int room = wide ? wide_counts_room : narrow_counts_room;
    int message_width = screen_cols - 37 - (wide ? 44 : 7) - (cw.number - number_width) -
                        (cw.counts > room ? cw.counts - room : 0);
    if (message_width < 10)
        message_width = 10;

    strlist_push_copy(lines, "");
    textbuf heading;
    textbuf_printf(heading, " %s%*s  %-11s  ", style_header, cw.number, "ID", "DATE");
    append_fitted(heading, "MESSAGE", message_width);
    textbuf_printf(heading, "%s  RECIPIENTS%s", style_header, style_reset);
    strlist_push_copy(lines, textbuf_str(heading));

    size_t rows = screen_rows > 7 ? static_cast<size_t>(screen_rows - 7) : 0;
    if (l.count == 0) {
        push_formatted(lines, "   %s%s%s", style_grey,
                       *search_text ? "No message contains the search text." : "No messages sent.", style_reset);
    }
    for (size_t i = top; i < l.count && i < top + rows; i++) {
        const message_summary &s = *l.items[i];
        char when[32];
        format_time(s.message.date, when);
        textbuf row, cell;
        textbuf_printf(row, "%s%*lld  %-11s  ", i == selected ? ">" : " ", cw.number,
                       static_cast<long long>(s.number), when);
        message_cell(cell, s);
        append_fitted(row, textbuf_str(cell), message_width);
        textbuf_append_str(row, "  ");
        confirmation_bar(row, s.confirmed, s.delivered, s.sent);
        textbuf_append_str(row, "  ");
        counts_cell(row, s, wide);
        if (i == selected && colour_enabled)
            strlist_push(lines, highlight(textbuf_str(row), usable));
        else
            strlist_push_copy(lines, textbuf_str(row));
    }

    while (lines.count + 1 < static_cast<size_t>(screen_rows - 4))
        strlist_push_copy(lines, "");
    textbuf legend;
    textbuf_printf(legend, "%s█%s confirmed   %s▒%s delivered   %s░%s sent", style_green, style_reset,
                   style_yellow, style_reset, style_red, style_reset);
    if (*search_text) {
        textbuf shown;
        append_clean_line(shown, search_text, strlen(search_text));
        textbuf_printf(legend, "      %ssearch: «%s» (Esc to clear)%s", style_grey, textbuf_str(shown),
                       style_reset);
    }
    mailbox_note(legend);
    strlist_push_copy(lines, textbuf_str(legend));
}

void mailbox_note(textbuf &out)
{
    strlist late;
    size_t pending;
    records_not_current(late, pending);
    if (pending > 0)
        textbuf_printf(out, "      %sreading %zu mailbox%s…%s", style_grey, pending, pending == 1 ? "" : "es",
                       style_reset);
    if (late.count > 0) {
        textbuf names;
        for (size_t i = 0; i < late.count; i++) {
            if (i > 0)
                textbuf_append_str(names, ", ");
            append_clean_line(names, late.items[i], strlen(late.items[i]));
        }
        textbuf_printf(out, "      %snot answering, shown as last read: %s%s", style_red, textbuf_str(names),
                       style_reset);
    }
}

void list_frame(frame &f, const message_list &l, size_t selected, size_t top, const char *search_text)
{
    frame_free(f);
    const char *title = "Kelvora · sent messages";
    if (screen_too_small())
        return waiting_frame(f, title, "q", "quit");
    f.title = xstrdup(title);
    f.right = xasprintf("updated at %s", l.loaded_at);
    list_body(f.lines, l, selected, top, search_text);
    static const char *const keys[][2] = {{"Enter", "open"},  {"n", "new"},    {"r", "revoke"}, {"m", "remind"},
                                          {"p", "purge"},     {"/", "search"}, {"?", "keys"},   {"q", "quit"}};
    // Three blanks between the keys where the legend fits, two where it
    // would otherwise lose its last keys (80 to 82 columns).
    const char *gap = screen_cols - 4 >= 79 ? "   " : "  ";
    textbuf footer;
    for (size_t i = 0; i < sizeof keys / sizeof *keys; i++)
        textbuf_printf(footer, "%s%s%s%s %s", i ? gap : "", style_key, keys[i][0], style_reset, keys[i][1]);
    f.footer = xstrdup(textbuf_str(footer));
}

void keys_dialog(const frame &f)
{
    // The manual page and the user manual describe the list from the same
    // table: what this box says, they say.
    const guide_table &keys = guide_list_keys;
    std::vector<std::pair<std::string, const char *>> rows;
    int term_width = 16;
    for (size_t i = 0; i < keys.count; i++) {
        char *term;
        const char *description;
        split_entry(keys.entries[i], &term, &description);
        if (display_width(term) + 3 > term_width)
            term_width = display_width(term) + 3;
        rows.emplace_back(term, description);
        free(term);
    }
    strlist lines;
    for (const auto &[term, description] : rows) {
        textbuf line;
        textbuf_append_str(line, style_key);
        append_fitted(line, term.c_str(), term_width);
        textbuf_printf(line, "%s%s", style_reset, description);
        strlist_push_copy(lines, textbuf_str(line));
    }
    strlist_push_copy(lines, "");
    strlist_push_copy(lines, "The list updates by itself every 3 seconds.");
    strlist_push_copy(lines, "The complete guide: kelv --help.");
    notice_dialog(f, "Keys", lines);
}
