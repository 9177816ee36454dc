// The compose form: To, Title and Expires, and a text box with a small line
// editor. The form validates nothing: it sends by running send in a child
// with the arguments of kelv send and the text on standard input, so every
// rule of send applies unchanged, and it shows send's answer. Whatever the
// answer, a declined confirmation or the editor, what was typed stays.
//
// Nothing the form holds has a byte that clean_text would remove: a typed
// character that it would remove is not taken, and the editor's text is
// cleaned on its way in. What is drawn is therefore what is held, with tabs
// shown as blanks, and cursor columns are measured on the held text itself
// (a tab takes the one column of the blank that shows it).
#include "interface.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

// A one-line field takes characters while it holds at most this many bytes.
const size_t field_limit = 999;
// Shown beside the text's size; send refuses more.
const int text_limit = 65536;

const char *const labels[] = {"To", "Title", "Expires"};
const char *const hints[] = {"user, @group, all or online, separated by commas", "optional, one line",
                             "optional: 30m, 2h, 3d or a date"};

// W and H: the width of the text box and the rows it shows.
int box_width() { return screen_cols - 18 > 20 ? screen_cols - 18 : 20; }
int box_rows() { return screen_rows - 14 > 3 ? screen_rows - 14 : 3; }

// A new string: s with bytes [at, at + remove) replaced by insert.
char *spliced(const char *s, size_t at, size_t remove, const char *insert)
{
    textbuf b;
    textbuf_append(b, s, at);
    textbuf_append_str(b, insert);
    textbuf_append_str(b, s + at + remove);
    return xstrdup(textbuf_str(b));
}

void splice_field(textbuf &field, size_t at, size_t remove, const char *insert)
{
    char *text = spliced(textbuf_str(field), at, remove, insert);
    textbuf_clear(field);
    textbuf_append_str(field, text);
    free(text);
}

void splice_line(struct compose_form &form, size_t line, size_t at, size_t remove, const char *insert)
{
    char *&slot = form.lines.items[line];
    char *text = spliced(slot, at, remove, insert);
    free(slot);
    slot = text;
}

// True for a character that clean_text keeps as it is.
bool takes_char(const char *bytes)
{
    size_t n = strlen(bytes);
    textbuf cleaned;
    clean_text(bytes, n, cleaned);
    return cleaned.len == n && memcmp(textbuf_str(cleaned), bytes, n) == 0;
}

bool form_is_empty(const struct compose_form &form)
{
    for (const textbuf &f : form.fields)
        if (f.len > 0)
            return false;
    return form.lines.count == 1 && form.lines.items[0][0] == '\0';
}

// The text as send gets it: the lines joined with newlines.
void joined_text(const struct compose_form &form, textbuf &out)
{
    for (size_t i = 0; i < form.lines.count; i++) {
        if (i > 0)
            textbuf_append_char(out, '\n');
        textbuf_append_str(out, form.lines.items[i]);
    }
}

size_t text_size(const struct compose_form &form)
{
    size_t n = form.lines.count - 1;
    for (size_t i = 0; i < form.lines.count; i++)
        n += strlen(form.lines.items[i]);
    return n;
}

void go_to_field(struct compose_form &form, int field)
{
    form.field = field;
    if (field != field_text)
        form.field_cursor = form.fields[field].len;
}

int count_step(int argc, char **argv) { return count_recipients(argc > 0 ? argv[0] : ""); }

int expiry_step(int argc, char **argv)
{
    printf("%lld\n", static_cast<long long>(parse_expiry(argc > 0 ? argv[0] : "")));
    return 0;
}

// The number on the first line of a step's output.
bool first_line_number(const char *output, int64_t &n)
{
    char *first = xstrndup(output, strcspn(output, "\n"));
    bool ok = parse_number(first, n);
    free(first);
    return ok;
}

// Appends the first line of a failed step's output, in red.
void append_refusal(textbuf &out, const char *output)
{
    textbuf_append_str(out, style_red);
    append_clean_line(out, output, strcspn(output, "\n"));
    textbuf_append_str(out, style_reset);
}

// The note beside To: how many users it names, or why it names nobody.
void update_preview(struct compose_form &form)
{
    free(form.recipient_preview);
    form.recipient_preview = nullptr;
    const textbuf &to = form.fields[field_to];
    if (to.len == 0)
        return;
    char *argv[] = {to.data, nullptr};
    textbuf output;
    int status = run_captured({count_step, 1, argv}, nullptr, output);
    const char *out = textbuf_str(output);
    if (status == 0) {
        int64_t n = 0;
        first_line_number(out, n);
        form.recipient_preview =
            n == 1 ? xstrdup("1 recipient") : xasprintf("%lld recipients", static_cast<long long>(n));
    } else if (output.len > 0) {
        textbuf line;
        append_refusal(line, out);
        form.recipient_preview = xstrdup(textbuf_str(line));
    }
}

// ---------------------------------------------------------------------------
// Drawing

void field_line(strlist &lines, const struct compose_form &form, int i, int &cursor_col)
{
    const textbuf &field = form.fields[i];
    const char *text = textbuf_str(field);
    int room = box_width() - 26;
    // The current field shows the part that holds its cursor; the others
    // show their start.
    int before = form.field == i ? width_of_bytes(text, form.field_cursor) : 0;
    size_t from = width_skip_front(text, before, room);
    cursor_col = 14 + before;

    textbuf row, shown;
    textbuf_printf(row, " %s", form.field == i ? style_bold : "");
    append_fitted(row, labels[i], 10);
    append_clean_line(shown, text + from, field.len - from);
    textbuf_printf(row, "%s [ ", style_reset);
    append_fitted(row, textbuf_str(shown), room);
    const char *note = hints[i];
    bool preview = i == field_to && form.recipient_preview && *form.recipient_preview;
    if (preview)
        note = form.recipient_preview;
    textbuf_printf(row, " ]  %s%s%s%s", style_grey, note, style_reset, preview ? style_reset : "");
    strlist_push_copy(lines, textbuf_str(row));
}

void text_box(strlist &lines, const struct compose_form &form, int &cursor_row, int &cursor_col)
{
    int w = box_width(), h = box_rows();
    textbuf top;
    textbuf_printf(top, " %s", form.field == field_text ? style_bold : "");
    append_fitted(top, "Text", 10);
    textbuf_printf(top, "%s %s┌", style_reset, style_dim);
    textbuf_append_repeated(top, "─", w);
    textbuf_printf(top, "┐%s", style_reset);
    strlist_push_copy(lines, textbuf_str(top));

    // The display lines of the whole text, and the one with the insertion
    // point: the first piece of its line whose range, end included, holds it.
    struct piece {
        size_t line;
        text_span span;
    };
    std::vector<piece> pieces;
    std::vector<text_span> spans;
    size_t at = 0;
    int at_col = 0;
    for (size_t i = 0; i < form.lines.count; i++) {
        spans.clear();
        wrap_line(form.lines.items[i], w - 2, spans);
        bool found = false;
        for (size_t k = 0; k < spans.size(); k++) {
            if (i == form.line && !found &&
                ((form.column >= spans[k].start && form.column <= spans[k].end) || k + 1 == spans.size())) {
                found = true;
                at = pieces.size();
                at_col = width_of_bytes(form.lines.items[i] + spans[k].start, form.column - spans[k].start);
            }
            pieces.push_back({i, spans[k]});
        }
    }
    size_t first = at < static_cast<size_t>(h) ? 0 : at - static_cast<size_t>(h) + 1;
    for (size_t r = 0; r < static_cast<size_t>(h); r++) {
        textbuf row, shown;
        if (first + r < pieces.size()) {
            const piece &p = pieces[first + r];
            append_clean_line(shown, form.lines.items[p.line] + p.span.start, p.span.end - p.span.start);
        }
        textbuf_printf(row, "%*s%s│%s ", 12, "", style_dim, style_reset);
        append_fitted(row, textbuf_str(shown), w - 2);
        textbuf_printf(row, " %s│%s", style_dim, style_reset);
        strlist_push_copy(lines, textbuf_str(row));
    }
    if (form.field == field_text) {
        cursor_row = static_cast<int>(lines.count) - h + static_cast<int>(at - first) + 1;
        cursor_col = 14 + at_col;
    }

    textbuf bottom;
    textbuf_printf(bottom, "%*s%s└", 12, "", style_dim);
    textbuf_append_repeated(bottom, "─", w);
    textbuf_printf(bottom, "┘%s", style_reset);
    strlist_push_copy(lines, textbuf_str(bottom));

    size_t size = text_size(form);
    push_formatted(lines, "%*s%s%zu of %d bytes%s", 12, "",
                   size > static_cast<size_t>(text_limit) ? style_red : style_grey, size, text_limit, style_reset);
}

void form_frame(frame &f, const struct compose_form &form)
{
    // Too small to write in: the form waits, with everything kept, until the
    // terminal is large enough again; only Esc still acts.
    if (screen_too_small())
        return waiting_frame(f, "New message", "Esc", "cancel");
    f.title = xstrdup("New message");
    f.footer = xasprintf("%sTab%s next field   %sCtrl+E%s open in the editor   %sCtrl+S%s send   %sEsc%s cancel",
                         style_key, style_reset, style_key, style_reset, style_key, style_reset, style_key,
                         style_reset);
    strlist_push_copy(f.lines, "");
    for (int i = field_to; i <= field_expires; i++) {
        int col;
        field_line(f.lines, form, i, col);
        if (form.field == i) {
            f.cursor_row = i + 2;
            f.cursor_col = col;
        }
    }
    text_box(f.lines, form, f.cursor_row, f.cursor_col);
}

// ---------------------------------------------------------------------------
// Keys

// Leaves the current one-line field for another; leaving To first updates
// the recipient note.
void leave_field(struct compose_form &form, int to)
{
    if (form.field == field_to)
        update_preview(form);
    go_to_field(form, to);
}

void field_key(struct compose_form &form, ui_key key, const char *text)
{
    textbuf &field = form.fields[form.field];
    const char *s = textbuf_str(field);
    size_t &cur = form.field_cursor;
    switch (key) {
    case key_char:
        if (field.len <= field_limit && takes_char(text)) {
            splice_field(field, cur, 0, text);
            cur += strlen(text);
        }
        break;
    case key_backspace:
        if (cur > 0) {
            size_t prev = width_char_before(s, cur);
            splice_field(field, prev, cur - prev, "");
            cur = prev;
        }
        break;
    case key_delete:
        if (cur < field.len)
            splice_field(field, cur, width_char_after(s, cur) - cur, "");
        break;
    case key_left: cur = width_char_before(s, cur); break;
    case key_right: cur = width_char_after(s, cur); break;
    case key_home: cur = 0; break;
    case key_end: cur = field.len; break;
    case key_up:
        if (form.field != field_to)
            go_to_field(form, form.field - 1);
        break;
    case key_down:
    case key_enter:
    case key_tab: leave_field(form, form.field + 1); break;
    case key_shift_tab: leave_field(form, form.field == field_to ? field_text : form.field - 1); break;
    default: break;
    }
}

// The offset in line of the last character boundary within the first
// columns display columns: Up and Down keep the cursor in its column on the
// screen, whatever the widths of the characters above and below.
size_t offset_at_column(const char *line, int columns)
{
    size_t at = 0;
    for (int used = 0; line[at];) {
        size_t next = width_char_after(line, at);
        used += width_of_bytes(line + at, next - at);
        if (used > columns)
            break;
        at = next;
    }
    return at;
}

void text_key(struct compose_form &form, ui_key key, const char *text)
{
    strlist &lines = form.lines;
    const char *s = lines.items[form.line];
    size_t len = strlen(s);
    size_t &col = form.column;
    switch (key) {
    case key_char:
        if (takes_char(text)) {
            splice_line(form, form.line, col, 0, text);
            col += strlen(text);
        }
        break;
    case key_enter:
        strlist_insert(lines, form.line + 1, xstrdup(s + col));
        splice_line(form, form.line, col, len - col, "");
        form.line++;
        col = 0;
        break;
    case key_backspace:
        if (col > 0) {
            size_t prev = width_char_before(s, col);
            splice_line(form, form.line, prev, col - prev, "");
            col = prev;
        } else if (form.line > 0) {
            size_t end = strlen(lines.items[form.line - 1]);
            splice_line(form, form.line - 1, end, 0, s);
            strlist_remove(lines, form.line);
            form.line--;
            col = end;
        }
        break;
    case key_delete:
        if (col < len) {
            splice_line(form, form.line, col, width_char_after(s, col) - col, "");
        } else if (form.line + 1 < lines.count) {
            splice_line(form, form.line, len, 0, lines.items[form.line + 1]);
            strlist_remove(lines, form.line + 1);
        }
        break;
    case key_left:
        if (col > 0) {
            col = width_char_before(s, col);
        } else if (form.line > 0) {
            form.line--;
            col = strlen(lines.items[form.line]);
        }
        break;
    case key_right:
        if (col < len) {
            col = width_char_after(s, col);
        } else if (form.line + 1 < lines.count) {
            form.line++;
            col = 0;
        }
        break;
    case key_up:
        if (form.line == 0) {
            go_to_field(form, field_expires);
        } else {
            col = offset_at_column(lines.items[form.line - 1], width_of_bytes(s, col));
            form.line--;
        }
        break;
    case key_down:
        if (form.line + 1 < lines.count) {
            col = offset_at_column(lines.items[form.line + 1], width_of_bytes(s, col));
            form.line++;
        }
        break;
    case key_home: col = 0; break;
    case key_end: col = len; break;
    case key_tab: go_to_field(form, field_to); break;
    case key_shift_tab: go_to_field(form, field_expires); break;
    default: break;
    }
}

// ---------------------------------------------------------------------------
// Sending

// Appends " (21/07 11:00)", the time send will make of the Expires field,
// or why send will refuse it: "1w" or "friday" is checked against the
// calendar before the message goes.
void append_expiry(textbuf &line, const textbuf &expires)
{
    char *argv[] = {expires.data, nullptr};
    textbuf output;
    int status = run_captured({expiry_step, 1, argv}, nullptr, output);
    const char *out = textbuf_str(output);
    int64_t t = 0;
    bool computed = status == 0 && first_line_number(out, t);
    char when[32] = "?";
    if (computed)
        format_time(t, when);
    textbuf_append_str(line, " (");
    if (computed || output.len == 0)
        textbuf_append_str(line, when);
    else
        append_refusal(line, out);
    textbuf_append_char(line, ')');
}

// Asks, then runs send in a child; true when the message was sent.
bool send_form(struct compose_form &form, const frame &f)
{
    update_preview(form);
    textbuf text;
    joined_text(form, text);
    const textbuf &to = form.fields[field_to], &title = form.fields[field_title],
                  &expires = form.fields[field_expires];

    strlist lines;
    textbuf line;
    textbuf_append_str(line, "To: ");
    append_clean_line(line, textbuf_str(to), to.len);
    textbuf_printf(line, " (%s)", form.recipient_preview ? form.recipient_preview : "?");
    strlist_push_copy(lines, textbuf_str(line));
    for (const textbuf *field : {&title, &expires}) {
        if (field->len == 0)
            continue;
        textbuf_clear(line);
        textbuf_printf(line, "%s: ", field == &title ? "Title" : "Expires");
        append_clean_line(line, field->data, field->len);
        if (field == &expires)
            append_expiry(line, expires);
        strlist_push_copy(lines, textbuf_str(line));
    }
    push_formatted(lines, "Text: %zu bytes", text.len);
    if (!confirm_dialog(f, "Send the message?", lines))
        return false;

    // The arguments of kelv send, without a program name.
    char *argv[7];
    int argc = 0;
    argv[argc++] = const_cast<char *>("--to");
    argv[argc++] = const_cast<char *>(textbuf_str(to));
    if (title.len > 0) {
        argv[argc++] = const_cast<char *>("--title");
        argv[argc++] = title.data;
    }
    if (expires.len > 0) {
        argv[argc++] = const_cast<char *>("--expires");
        argv[argc++] = expires.data;
    }
    argv[argc] = nullptr;
    textbuf output;
    int status = run_reported({send, argc, argv}, &text, output);
    result_dialog(f, status == 0 ? "Message sent" : "Sending result", output);
    return status == 0;
}

} // namespace

compose_form::~compose_form() { compose_form_free(*this); }

void compose_form_free(struct compose_form &form)
{
    for (textbuf &f : form.fields)
        textbuf_free(f);
    strlist_free(form.lines);
    free(form.recipient_preview);
    form.recipient_preview = nullptr;
    form.field = field_to;
    form.field_cursor = form.line = form.column = 0;
}

bool compose_form()
{
    struct compose_form form;
    strlist_push_copy(form.lines, "");
    while (!quit_requested) {
        refresh_size();
        // The form needs the interface's smallest screen; below it, it waits.
        bool small = screen_too_small();
        // A paste arrives faster than the form is drawn: the frame is built
        // and drawn once the keys that came have been read, or for a dialog.
        frame f;
        bool built = false;
        auto current = [&]() -> const frame & {
            if (!built)
                form_frame(f, form);
            built = true;
            return f;
        };
        if (!key_pending())
            draw_frame(current());
        char text[5];
        ui_key key = read_key(text);
        if (key == key_error || quit_requested)
            return false;
        if (key == key_escape) {
            strlist lines;
            strlist_push_copy(lines, "The message you are writing will be lost.");
            if (form_is_empty(form) || confirm_dialog(current(), "Discard the message?", lines))
                return false;
            continue;
        }
        if (small || key == key_timeout)
            continue;
        if (key == key_ctrl_e) {
            textbuf problem;
            if (!edit_in_editor(form, problem) && problem.len > 0) {
                // The screen was given to the editor: the dialog goes over a
                // fresh frame, at the size the terminal has now.
                refresh_size();
                frame now;
                form_frame(now, form);
                result_dialog(now, "External editor", problem);
            }
        } else if (key == key_ctrl_s) {
            if (send_form(form, current()))
                return true;
        } else if (form.field == field_text) {
            text_key(form, key, text);
        } else {
            field_key(form, key, text);
        }
    }
    return false;
}
