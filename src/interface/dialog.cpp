// Dialogs: a box painted over a copy of the screen the user was looking at,
// modal until it returns. A signal that asks the interface to quit closes any
// dialog as cancelled.
#include "interface.h"

#include <cstdlib>
#include <cstring>
#include <termios.h>

namespace {

// The longest text the input dialog takes, in bytes.
const size_t input_limit = 200;

void append_rule(textbuf &b, const char *left, const char *right, int width)
{
    textbuf_append_str(b, left);
    textbuf_append_repeated(b, "─", width);
    textbuf_append_str(b, right);
}

char *box_row(int margin, int w, const char *content)
{
    textbuf b;
    textbuf_printf(b, "%*s%s│%s  ", margin, "", style_bold, style_reset);
    append_fitted(b, content, w - 6);
    textbuf_printf(b, "  %s│%s", style_bold, style_reset);
    return xstrdup(textbuf_str(b));
}

// "Enter confirm   Esc cancel", each key in its style.
char *input_footer()
{
    return xasprintf("%sEnter%s confirm   %sEsc%s cancel", style_key, style_reset, style_key, style_reset);
}

// Removes the last character of b: its continuation bytes and lead byte.
void remove_last_char(textbuf &b)
{
    if (b.len == 0)
        return;
    b.len = width_char_before(b.data, b.len);
    b.data[b.len] = '\0';
}

// Asks "VERB message N?" with the lines and, when confirmed, runs the command
// on message n and shows its result under the same title.
void confirm_and_run(const frame &f, const char *verb, const strlist &lines, int64_t n,
                     int (*command)(int, char **))
{
    char *title = xasprintf("%s message %lld?", verb, static_cast<long long>(n));
    if (confirm_dialog(f, title, lines)) {
        char *number = xasprintf("%lld", static_cast<long long>(n));
        char *argv[] = {number, nullptr};
        run_and_show(f, title, {command, 1, argv});
        free(number);
    }
    free(title);
}

} // namespace

void overlay_box(frame &f, const char *title, const strlist &lines, const char *last_line)
{
    int w = 60;
    for (size_t i = 0; i < lines.count; i++) {
        int lw = display_width(lines.items[i]) + 6;
        if (lw > w)
            w = lw;
    }
    int margin;
    if (w >= screen_cols - 7) {
        w = screen_cols - 8;
        margin = 2;
    } else {
        margin = (screen_cols - 4 - w) / 2;
    }

    // A box taller than the body keeps its frame and last line: the lines
    // that do not fit give way, the last one shown says so.
    int body = screen_rows - 4;
    size_t n = lines.count;
    bool cut = false;
    if (static_cast<int>(n) + 5 > body) {
        n = body > 6 ? static_cast<size_t>(body - 5) : 1;
        cut = true;
    }
    int height = static_cast<int>(n) + 5;
    int free_rows = body - height;
    // Centred; one row below the top border while there is room for it.
    int first = free_rows >= 2 ? free_rows / 2 : (free_rows == 1 ? 1 : 0);

    while (f.lines.count < static_cast<size_t>(first + height))
        strlist_push_copy(f.lines, "");

    textbuf top, piece, piece_cell;
    textbuf_printf(piece, "─ %s ", title);
    int piece_width = display_width(textbuf_str(piece));
    if (piece_width > w - 2)
        piece_width = w - 2;
    append_fitted(piece_cell, textbuf_str(piece), piece_width);
    textbuf_printf(top, "%*s%s┌%s%s", margin, "", style_bold, textbuf_str(piece_cell), style_bold);
    append_rule(top, "", "┐", w - 2 - piece_width);
    textbuf_append_str(top, style_reset);

    textbuf bottom;
    textbuf_printf(bottom, "%*s%s", margin, "", style_bold);
    append_rule(bottom, "└", "┘", w - 2);
    textbuf_append_str(bottom, style_reset);

    auto put = [&](int row, char *text) {
        char *&slot = f.lines.items[first + row];
        free(slot);
        slot = text;
    };
    put(0, xstrdup(textbuf_str(top)));
    put(1, box_row(margin, w, ""));
    for (size_t i = 0; i < n; i++)
        put(2 + static_cast<int>(i), box_row(margin, w, cut && i + 1 == n ? "…" : lines.items[i]));
    put(static_cast<int>(n) + 2, box_row(margin, w, ""));
    put(static_cast<int>(n) + 3, box_row(margin, w, last_line));
    put(static_cast<int>(n) + 4, xstrdup(textbuf_str(bottom)));
}

void show_dialog(const frame &f, const char *title, const strlist &lines, const char *last_line,
                 char *footer)
{
    frame copy;
    for (size_t i = 0; i < f.lines.count; i++)
        strlist_push_copy(copy.lines, f.lines.items[i]);
    copy.title = f.title ? xstrdup(f.title) : nullptr;
    copy.right = f.right ? xstrdup(f.right) : nullptr;
    copy.footer = footer;
    overlay_box(copy, title, lines, last_line);
    draw_frame(copy);
}

bool confirm_dialog(const frame &f, const char *title, const strlist &lines)
{
    textbuf buttons;
    textbuf_printf(buttons, "%s y  %s %s     %s n  %s %s", style_selected, "Confirm", style_reset, style_dim,
                   "Cancel", style_reset);
    // "y confirm   n or Esc cancel": the last two keys share one word.
    textbuf footer;
    textbuf_printf(footer, "%sy%s confirm   %sn%s or %sEsc%s cancel", style_key, style_reset, style_key,
                   style_reset, style_key, style_reset);
    show_dialog(f, title, lines, textbuf_str(buttons), xstrdup(textbuf_str(footer)));
    char text[5];
    while (!quit_requested) {
        ui_key k = read_key(text);
        if (k == key_error || k == key_escape)
            return false;
        if (k == key_char && (strcmp(text, "y") == 0 || strcmp(text, "Y") == 0))
            return true;
        if (k == key_char && (strcmp(text, "n") == 0 || strcmp(text, "N") == 0))
            return false;
    }
    return false;
}

char *input_dialog(const frame &f, const char *title, const char *prompt, const char *initial)
{
    textbuf typed;
    textbuf_append_str(typed, initial ? initial : "");
    // The widest the text can be shown at, between "[ " and the cursor and
    // " ]", in a box as wide as the screen allows.
    int room = screen_cols - 8 - 6 - 5;
    char text[5];
    while (!quit_requested) {
        textbuf shown, field;
        append_clean_line(shown, typed.data ? typed.data : "", typed.len);
        const char *visible = textbuf_str(shown);
        int width = display_width(visible);
        // Typing happens at the end: when the text is too long, its end shows.
        bool cut = width > room;
        if (cut)
            visible += width_skip_front(visible, width, room - 1);
        textbuf_printf(field, "[ %s%s%s ]", cut ? "…" : "", visible, colour_enabled ? "\x1b[7m \x1b[0m" : "_");
        strlist lines;
        strlist_push_copy(lines, prompt);
        strlist_push_copy(lines, "");
        strlist_push_copy(lines, textbuf_str(field));
        show_dialog(f, title, lines, "", input_footer());

        ui_key k = read_key(text);
        switch (k) {
        case key_enter: return xstrdup(textbuf_str(typed));
        case key_escape:
        case key_error: return nullptr;
        case key_backspace: remove_last_char(typed); break;
        case key_char:
            if (typed.len < input_limit)
                textbuf_append_str(typed, text);
            break;
        default: break;
        }
    }
    return nullptr;
}

void notice_dialog(const frame &f, const char *title, const strlist &lines)
{
    show_dialog(f, title, lines, "any key to continue", xstrdup("any key to continue"));
    char text[5];
    while (!quit_requested && read_key(text) == key_timeout) {
    }
}

void result_dialog(const frame &f, const char *title, const textbuf &output)
{
    strlist lines;
    const char *p = textbuf_str(output), *end = p + output.len;
    while (p < end) {
        const char *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
        size_t len = nl ? static_cast<size_t>(nl - p) : static_cast<size_t>(end - p);
        textbuf line;
        append_clean_line(line, p, len);
        strlist_push_copy(lines, textbuf_str(line));
        p += len + (nl ? 1 : 0);
    }
    if (lines.count == 0)
        strlist_push_copy(lines, "Done.");
    // Keys typed while the operation ran were meant for the dialog before;
    // they must not close this one unseen.
    tcflush(tty_fd, TCIFLUSH);
    notice_dialog(f, title, lines);
}

bool remind_dialog(const frame &f, const message_summary &s, footer_note &note)
{
    long long id = static_cast<long long>(s.number);
    if (s.revoked || s.expired || s.delivered <= 0) {
        if (s.revoked)
            footer_note_set(note, "Message %lld has been revoked: nobody to remind.", id);
        else if (s.expired)
            footer_note_set(note, "Message %lld has expired: nobody to remind.", id);
        else if (s.sent == 0)
            footer_note_set(note, "Message %lld: everyone has already confirmed, nobody to remind.", id);
        else
            footer_note_set(note, "Message %lld: nobody to remind until it is delivered.", id);
        return false;
    }
    strlist lines;
    if (s.delivered == 1)
        strlist_push_copy(lines, "1 recipient has not confirmed yet.");
    else
        push_formatted(lines, "%d recipients have not confirmed yet.", s.delivered);
    strlist_push_copy(lines, "");
    strlist_push_copy(lines, "They are asked again now: at the next prompt");
    strlist_push_copy(lines, "and with the dialog on the desktop.");
    confirm_and_run(f, "Remind", lines, s.number, remind);
    return true;
}

bool revoke_dialog(const frame &f, const message_summary &s, footer_note &note)
{
    if (s.revoked) {
        footer_note_set(note, "Message %lld has already been revoked.", static_cast<long long>(s.number));
        return false;
    }
    const char *raw_title = s.message.title ? s.message.title : "";
    textbuf line;
    textbuf_append_str(line, "«");
    if (*raw_title)
        append_clean_line(line, raw_title, strlen(raw_title));
    else
        textbuf_append_str(line, "no title");
    textbuf_append_str(line, "» · ");
    summary_text(s, line);
    strlist lines;
    strlist_push_copy(lines, textbuf_str(line));
    strlist_push_copy(lines, "");
    strlist_push_copy(lines, "Whoever has not seen it yet will not see it;");
    strlist_push_copy(lines, "open dialogs and questions close by themselves.");
    confirm_and_run(f, "Revoke", lines, s.number, revoke);
    return true;
}

void purge_dialog(const frame &f)
{
    char *age = input_dialog(f, "Delete old messages", "Delete the messages sent more than (for example 90d, 12h):",
                             "90d");
    if (!age)
        return;
    textbuf shown;
    append_clean_line(shown, age, strlen(age));
    strlist lines;
    push_formatted(lines, "Messages older than %s, with copies and confirmations.", textbuf_str(shown));
    push_formatted(lines, "The events stay in the system log.");
    if (confirm_dialog(f, "Delete old messages?", lines)) {
        char *argv[] = {age, nullptr};
        run_and_show(f, "Delete old messages", {purge, 1, argv});
    }
    free(age);
}
