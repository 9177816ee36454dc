// Styling and layout for the guide: everything appends to text buffers or
// string lists and nothing writes to the terminal. Widths are display
// columns (width_of), as in every other screen of kelv.
#include "guide.h"

#include <cstdlib>
#include <cstring>

const char *guide_style_reset = "";
const char *guide_style_bold = "";
const char *guide_style_dim = "";
const char *guide_style_green = "";
const char *guide_style_yellow = "";
const char *guide_style_cyan = "";
const char *guide_style_reverse = "";

int guide_cols = 80;
int guide_rows = 24;

void guide_style_init(bool on)
{
    guide_style_reset = on ? "\033[0m" : "";
    guide_style_bold = on ? "\033[1m" : "";
    guide_style_dim = on ? "\033[2m" : "";
    guide_style_green = on ? "\033[1;32m" : "";
    guide_style_yellow = on ? "\033[1;33m" : "";
    guide_style_cyan = on ? "\033[1;36m" : "";
    guide_style_reverse = on ? "\033[7;1m" : "";
}

size_t guide_text_width(const char *s)
{
    return static_cast<size_t>(width_of(s));
}

void wrap_words(const char *text, int width, int indent, strlist &out)
{
    int room = width - indent;
    if (room < 24)
        room = 24;
    textbuf line;
    size_t line_width = 0; // without the indent
    const char *blanks = " \t\n";
    for (const char *p = text + strspn(text, blanks); *p; p += strspn(p, blanks)) {
        size_t len = strcspn(p, blanks);
        char *word = xstrndup(p, len);
        size_t w = guide_text_width(word);
        if (line.len > 0 && line_width + 1 + w > static_cast<size_t>(room)) {
            strlist_push_copy(out, textbuf_str(line));
            textbuf_clear(line);
        }
        if (line.len == 0) {
            textbuf_printf(line, "%*s%s", indent, "", word);
            line_width = w;
        } else {
            textbuf_append_char(line, ' ');
            textbuf_append_str(line, word);
            line_width += 1 + w;
        }
        free(word);
        p += len;
    }
    if (line.len > 0)
        strlist_push_copy(out, textbuf_str(line));
}

void split_entry(const char *entry, char **term, const char **description)
{
    const char *bar = strstr(entry, "¦");
    if (!bar) {
        *term = xstrdup(entry);
        *description = "";
        return;
    }
    *term = xstrndup(entry, static_cast<size_t>(bar - entry));
    *description = bar + strlen("¦");
}

void draw_rule(textbuf &b, const char *left, const char *right, const char *label)
{
    int dashes = guide_cols - 2;
    if (label) {
        char *piece = xasprintf("─ %s ", label);
        dashes -= static_cast<int>(guide_text_width(piece));
        textbuf_printf(b, "%s%s%s%s%s%s%s", guide_style_dim, left, guide_style_reset, guide_style_cyan,
                       piece, guide_style_reset, guide_style_dim);
        free(piece);
    } else {
        textbuf_printf(b, "%s%s", guide_style_dim, left);
    }
    textbuf_append_repeated(b, "─", dashes);
    textbuf_printf(b, "%s%s", right, guide_style_reset);
}

void draw_box_line(textbuf &b, char kind, const char *text)
{
    const char *style = kind == 'H' ? guide_style_yellow : kind == 'F' ? guide_style_green : "";
    int inner = guide_cols > 4 ? guide_cols - 4 : 0;
    textbuf_printf(b, "%s│%s %s", guide_style_dim, guide_style_reset, style);
    textbuf_append_cell(b, text, inner, *style ? guide_style_reset : nullptr);
    textbuf_printf(b, " %s│%s", guide_style_dim, guide_style_reset);
}
