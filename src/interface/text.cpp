// Fitting and wrapping text for the screen, in display columns (width_next):
// a wide character takes two, a combining mark none, and a style sequence
// "\e[" … letter none. Fitting pads or cuts every cell to its exact width,
// which keeps each row of a frame exactly as wide as the screen.
#include "interface.h"

#include <cstdlib>
#include <cstring>

void append_fitted(textbuf &out, const char *text, int width)
{
    textbuf_append_cell(out, text, width, style_reset);
}

void wrap_line(const char *line, int width, std::vector<text_span> &out)
{
    if (width < 1)
        width = 1;
    size_t rest = 0, len = strlen(line);
    while (display_width(line + rest) > width) {
        // The longest start that fits, and the last blank within it.
        const char *start = line + rest, *p = start, *blank = nullptr;
        int used = 0;
        while (*p) {
            width_step s = width_next(p);
            if (used + s.columns > width)
                break;
            if (*p == ' ')
                blank = p;
            used += s.columns;
            p += s.len;
        }
        // A character wider than the whole line still takes a line of its own.
        const char *cut = p > start ? p : start + width_char_after(start, 0);
        size_t at = static_cast<size_t>((blank && blank > start ? blank : cut) - line);
        if (at == len)
            break;
        out.push_back({rest, at});
        rest = at < len && line[at] == ' ' ? at + 1 : at;
    }
    out.push_back({rest, len});
}

void wrap_text(const char *text, int width, strlist &out)
{
    std::vector<text_span> spans;
    const char *piece = text;
    while (*piece) {
        const char *nl = strchr(piece, '\n');
        size_t len = nl ? static_cast<size_t>(nl - piece) : strlen(piece);
        char *line = xstrndup(piece, len);
        spans.clear();
        wrap_line(line, width, spans);
        for (const text_span &s : spans)
            strlist_push(out, xstrndup(line + s.start, s.end - s.start));
        free(line);
        piece += len + (nl ? 1 : 0);
    }
}

void push_formatted(strlist &l, const char *fmt, ...)
{
    textbuf b;
    va_list ap;
    va_start(ap, fmt);
    textbuf_vprintf(b, fmt, ap);
    va_end(ap);
    strlist_push_copy(l, textbuf_str(b));
}

void append_clean_line(textbuf &out, const char *bytes, size_t len)
{
    size_t start = out.len;
    clean_text(bytes, len, out);
    for (size_t i = start; i < out.len; i++)
        if (out.data[i] == '\t' || out.data[i] == '\n')
            out.data[i] = ' ';
}
