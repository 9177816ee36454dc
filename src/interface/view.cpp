// The view of one message: its heading and first lines, the counts, and one
// of three panes, the recipients with their states, the history from the
// journal or the whole text.
// The data is rebuilt on a reload (every sixth timeout, a pane switch, after
// an action or a change of size); the screen is built from it on every pass.
// Everything shown that a user could have written (title, text, author,
// names, channels, journal fields) is cleaned first.
#include "interface.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Text lines shown at most; a longer text shows one line fewer and "…".
const size_t text_rows = 6;

// The history is read in the background, within these limits: the whole of
// it, and a look at whether the journal has anything new since.
const int history_time_limit_ms = 20000;
const int latest_time_limit_ms = 5000;
// A journal that keeps changing is read again at most this often.
const int64_t history_apart_ms = 15000;

enum pane_kind { pane_recipients = 0, pane_history = 1, pane_text = 2 };
const int pane_count = 3;

struct view_state {
    int64_t number = 0;
    message_summary summary;
    recipient_lines recipients;
    strlist text_lines;
    strlist history_lines;
    int pane = pane_recipients;
    int scroll = 0;
    int pane_rows = 0; // rows of the pane at the last draw: the Page Up/Down step
    char clock[16] = "";
    int ticks = 0;
    bool reload = true;
    uint64_t records = 0; // the mailbox records the data was built from
    footer_note note;

    // The history: the job that reads it (all of it, or only whether there
    // is something new), whether it was read once, the journal's latest
    // entry as of that reading, when it was read, and whether it is to be
    // read again.
    background_job history;
    bool history_whole = false; // what the job reads
    bool history_read = false;
    uint64_t history_latest = 0;
    int64_t history_at = 0;
    bool history_owed = false;
    bool history_look = false; // a look for news is due
};

// The number after the "#" of the job's first line.
uint64_t latest_of(const textbuf &output)
{
    const char *p = textbuf_str(output);
    return p[0] == '#' ? strtoull(p + 1, nullptr, 10) : 0;
}

// Takes the history from what the job printed: after its first line and
// the log's own heading, each line cleaned as it is taken.
void take_history(view_state &v)
{
    strlist_free(v.history_lines);
    const textbuf &output = v.history.output;
    const char *p = textbuf_str(output), *end = p + output.len;
    for (int line = 0; p < end; line++) {
        const char *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
        size_t len = nl ? static_cast<size_t>(nl - p) : static_cast<size_t>(end - p);
        if (line >= 2) {
            textbuf clean;
            append_clean_line(clean, p, len);
            strlist_push_copy(v.history_lines, textbuf_str(clean));
        }
        p += len + (nl ? 1 : 0);
    }
    if (v.history.overran)
        push_formatted(v.history_lines, "%sThe system log could not be read in full within %d seconds.%s",
                       style_red, history_time_limit_ms / 1000, style_reset);
    v.history_latest = latest_of(output);
    v.history_read = true;
}

void start_history(view_state &v, bool whole)
{
    char *number = xasprintf("%lld", static_cast<long long>(v.number));
    char *argv[] = {number, const_cast<char *>("latest"), nullptr};
    v.history_whole = whole;
    if (whole) {
        v.history_at = monotonic_ms();
        v.history_owed = false;
    }
    job_start(v.history, {history, whole ? 1 : 2, argv}, whole ? history_time_limit_ms : latest_time_limit_ms);
    free(number);
}

// Keeps the history pane's data coming, never waiting for it: read when the
// pane opens, then again when a look at the journal finds something new
// (at most every history_apart_ms) or an action of the view was taken.
void tend_history(view_state &v)
{
    if (v.pane != pane_history) {
        job_stop(v.history);
        return;
    }
    if (v.history.ended) {
        v.history.ended = false;
        if (v.history_whole)
            take_history(v);
        else if (latest_of(v.history.output) != v.history_latest)
            v.history_owed = true;
    }
    if (v.history.running)
        return;
    if (!v.history_read || (v.history_owed && monotonic_ms() - v.history_at >= history_apart_ms))
        start_history(v, true);
    else if (v.history_look && !v.history_owed)
        start_history(v, false);
    v.history_look = false;
}

// Rebuilds the data; false when the message is gone (purged, cancelled).
bool reload_view(view_state &v)
{
    free_summary(v.summary);
    free_recipient_lines(v.recipients);
    strlist_free(v.text_lines);
    // As the list does: only the mailboxes that may have changed are read
    // again, and those of this message not read yet, in the background.
    refresh_records();
    strlist number;
    strlist_push_copy(number, std::to_string(v.number).c_str());
    load_recipient_records(number);
    if (!load_summary(v.number, v.summary))
        return false;
    describe_recipients(v.number, v.summary.message, v.recipients);
    v.records = records_generation();
    const char *text = v.summary.message.text ? v.summary.message.text : "";
    textbuf cleaned;
    clean_text(text, strlen(text), cleaned);
    for (size_t i = 0; i < cleaned.len; i++)
        if (cleaned.data[i] == '\t')
            cleaned.data[i] = ' ';
    wrap_text(textbuf_str(cleaned), screen_cols - 8, v.text_lines);
    v.history_look = true;
    v.reload = false;
    return true;
}

void append_clean(textbuf &out, const char *text)
{
    if (text)
        append_clean_line(out, text, strlen(text));
}

// Title, date, author, expiry and revocation on one line.
void heading_line(strlist &lines, const message_summary &s)
{
    const message &m = s.message;
    char when[32];
    textbuf h;
    textbuf_printf(h, " %s", style_bold);
    if (m.title && *m.title)
        append_clean(h, m.title);
    else
        textbuf_append_str(h, "no title");
    format_time(m.date, when);
    textbuf_printf(h, "%s · %s · from ", style_reset, when);
    append_clean(h, m.from);
    if (m.expires != 0) {
        format_time(m.expires, when);
        textbuf_printf(h, " · %s on %s", s.expired ? "expired" : "expires", when);
    }
    if (s.revoked) {
        format_time(revocation_time(s.number), when);
        textbuf_printf(h, " · %srevoked on %s%s", style_red, when, style_reset);
    }
    strlist_push_copy(lines, textbuf_str(h));
}

void text_row(strlist &lines, const char *line)
{
    push_formatted(lines, " %s│%s %s", style_dim, style_reset, line);
}

// The first lines of the text; a longer one ends with a line that says how
// much more the Text pane holds.
void text_block(strlist &lines, const strlist &text)
{
    size_t shown = text.count > text_rows ? text_rows - 1 : text.count;
    for (size_t i = 0; i < shown; i++)
        text_row(lines, text.items[i]);
    if (text.count > text_rows) {
        size_t more = text.count - shown;
        push_formatted(lines, " %s│%s … %s%zu more line%s in the Text pane%s", style_dim, style_reset, style_grey,
                       more, more == 1 ? "" : "s", style_reset);
    }
}

void tab_line(strlist &lines, const view_state &v)
{
    auto style = [&v](int pane) { return v.pane == pane ? style_selected : style_dim; };
    // Two blanks before the bar, where there were four before the third tab:
    // at 80 columns the counts of two states still fit whole.
    textbuf t;
    textbuf_printf(t, " %s Recipients (%zu) %s %s History %s %s Text %s  ", style(pane_recipients),
                   v.recipients.count, style_reset, style(pane_history), style_reset, style(pane_text), style_reset);
    confirmation_bar(t, v.summary.confirmed, v.summary.delivered, v.summary.sent);
    textbuf_append_str(t, "  ");
    coloured_summary(t, v.summary);
    strlist_push_copy(lines, textbuf_str(t));
}

const char *state_style(recipient_state s)
{
    return s == recipient_confirmed ? style_green : s == recipient_delivered ? style_yellow : style_red;
}

// The rows of the current pane; a heading, if any, goes to lines at once.
void pane_rows(strlist &lines, strlist &rows, const view_state &v)
{
    if (v.pane == pane_text) {
        for (size_t i = 0; i < v.text_lines.count; i++)
            text_row(rows, v.text_lines.items[i]);
        return;
    }
    if (v.pane == pane_history) {
        for (size_t i = 0; i < v.history_lines.count; i++)
            push_formatted(rows, " %s", v.history_lines.items[i]);
        if (rows.count == 0)
            push_formatted(rows, " %s%s%s", style_grey,
                           v.history_read ? "No events in the system log." : "Reading the system log…", style_reset);
        return;
    }
    textbuf heading;
    textbuf_printf(heading, " %s", style_header);
    append_fitted(heading, "USER", 14);
    textbuf_printf(heading, "%sSTATE%s", style_header, style_reset);
    strlist_push_copy(lines, textbuf_str(heading));
    for (size_t i = 0; i < v.recipients.count; i++) {
        const recipient_line &r = v.recipients.items[i];
        textbuf name, row;
        append_clean(name, r.name);
        textbuf_append_str(row, " ");
        append_fitted(row, textbuf_str(name), 13);
        textbuf_printf(row, " %s", state_style(r.state));
        append_clean(row, r.description);
        textbuf_append_str(row, style_reset);
        // A delivered recipient's state comes from the mailbox: say when it
        // is not current.
        records_freshness fresh = r.state == recipient_sent ? records_freshness::current : records_state(r.name);
        if (fresh != records_freshness::current)
            textbuf_printf(row, "%s · %s%s", style_grey,
                           fresh == records_freshness::late ? "mailbox not answering: as last read"
                                                            : "mailbox not read yet",
                           style_reset);
        strlist_push_copy(rows, textbuf_str(row));
    }
}

void view_frame(frame &f, view_state &v)
{
    const char *title = v.summary.message.title ? v.summary.message.title : "";
    textbuf t;
    textbuf_printf(t, "Message %lld", static_cast<long long>(v.number));
    if (*title) {
        textbuf_append_str(t, " · ");
        append_clean(t, title);
    }
    // Too small, the view waits: its pane and scroll stay as they were.
    if (screen_too_small())
        return waiting_frame(f, textbuf_str(t), "Esc", "back");
    f.title = xstrdup(textbuf_str(t));
    f.right = xasprintf("updated at %s", v.clock);
    f.footer = xasprintf(
        "%sTab%s recipients/history/text   %s↑/↓%s scroll   %sm%s remind   %sr%s revoke   %sEsc%s back", style_key,
        style_reset, style_key, style_reset, style_key, style_reset, style_key, style_reset, style_key, style_reset);

    heading_line(f.lines, v.summary);
    text_block(f.lines, v.text_lines);
    strlist_push_copy(f.lines, "");
    tab_line(f.lines, v);
    strlist_push_copy(f.lines, "");

    strlist rows;
    pane_rows(f.lines, rows, v);
    int room = screen_rows - 4 - static_cast<int>(f.lines.count);
    v.pane_rows = room > 0 ? room : 0;
    int total = static_cast<int>(rows.count);
    if (v.scroll > total - room)
        v.scroll = total - room;
    if (v.scroll < 0)
        v.scroll = 0;
    for (int i = v.scroll; i < total && i < v.scroll + room; i++)
        strlist_push_copy(f.lines, rows.items[i]);
}

enum class view_step { stay, leave };

view_step act_on_key(view_state &v, const frame &f, ui_key key, const char *text)
{
    const message_summary &s = v.summary;
    if (key == key_escape || key == key_error || (key == key_char && strcmp(text, "q") == 0))
        return view_step::leave;
    // Too small to show the message, the view waits: only going back acts.
    if (screen_too_small() && key != key_timeout)
        return view_step::stay;
    switch (key) {
    case key_timeout:
        if (refresh_size())
            v.reload = true;
        if (++v.ticks >= timeouts_per_reload) {
            format_clock(now(), v.clock);
            v.reload = true;
            v.ticks = 0;
        }
        // Mailboxes that answered in the background show at once.
        if (records_generation() != v.records)
            v.reload = true;
        break;
    case key_char:
        if ((strcmp(text, "r") == 0 && revoke_dialog(f, s, v.note)) ||
            (strcmp(text, "m") == 0 && remind_dialog(f, s, v.note))) {
            v.reload = true;
            v.history_owed = true;
            v.history_at = 0; // what was done shows in the history at once
        }
        break;
    case key_up: v.scroll--; break;
    case key_down: v.scroll++; break;
    case key_page_up: v.scroll -= v.pane_rows; break;
    case key_page_down: v.scroll += v.pane_rows; break;
    case key_tab:
    case key_shift_tab:
        v.pane = (v.pane + (key == key_tab ? 1 : pane_count - 1)) % pane_count;
        v.scroll = 0;
        v.reload = true;
        // Opened, the history is read again at once.
        v.history_owed = v.pane == pane_history;
        v.history_at = 0;
        break;
    default: break;
    }
    return view_step::stay;
}

} // namespace

void message_view(int64_t n, const char *loaded_at)
{
    view_state v;
    v.number = n;
    snprintf(v.clock, sizeof v.clock, "%s", loaded_at);
    while (!quit_requested) {
        if (v.reload && !reload_view(v))
            return;
        tend_history(v);
        frame f;
        view_frame(f, v);
        footer_note_apply(v.note, f);
        draw_frame(f);
        char text[5];
        ui_key key = read_key(text);
        if (act_on_key(v, f, key, text) == view_step::leave)
            return;
    }
}
