// Measuring, fitting and wrapping text for the screen. Every character takes
// one column (no wide-character tables); an escape sequence "\e[" … letter
// takes none. Fitting pads or cuts every cell to its exact width, which keeps
// each row of a frame exactly as wide as the screen.
#include "interface.h"

#include <cstdlib>
#include <cstring>

namespace {

bool is_continuation(unsigned char c) { return (c & 0xc0) == 0x80; }
bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The length of the escape sequence at p ("\e[" up to its letter), 0 when p
// does not start one, or the rest of the text when no letter ends it.
size_t sequence_length(const char *p)
{
    if (p[0] != '\x1b' || p[1] != '[')
        return 0;
    size_t n = 2;
    while (p[n] && !is_letter(p[n]))
        n++;
    return p[n] ? n + 1 : n;
}

// The length of the character at p: its lead byte and continuation bytes.
size_t char_length(const char *p)
{
    size_t n = 1;
    while (p[n] && is_continuation(static_cast<unsigned char>(p[n])))
        n++;
    return n;
}

} // namespace

int display_width(const char *text)
{
    int width = 0;
    for (const char *p = text; *p;) {
        size_t seq = sequence_length(p);
        if (seq) {
            p += seq;
            continue;
        }
        if (!is_continuation(static_cast<unsigned char>(*p)))
            width++;
        p++;
    }
    return width;
}

void append_fitted(textbuf &out, const char *text, int width)
{
    int used = 0;
    for (const char *p = text; *p;) {
        size_t seq = sequence_length(p);
        if (seq) {
            // An unterminated sequence is dropped, not left open.
            if (is_letter(p[seq - 1]))
                textbuf_append(out, p, seq);
            p += seq;
            continue;
        }
        if (used == width) {
            textbuf_append_str(out, style_reset);
            return;
        }
        size_t n = char_length(p);
        textbuf_append(out, p, n);
        p += n;
        used++;
    }
    if (colour_enabled)
        textbuf_append_str(out, style_reset);
    for (; used < width; used++)
        textbuf_append_char(out, ' ');
}

void wrap_line(const char *line, int width, std::vector<text_span> &out)
{
    if (width < 1)
        width = 1;
    size_t rest = 0, len = strlen(line);
    while (display_width(line + rest) > width) {
        const char *start = line + rest, *p = start, *blank = nullptr;
        int count = 0;
        const char *cut = nullptr; // after the width-th character
        while (*p) {
            if (count == width) {
                cut = p;
                break;
            }
            if (*p == ' ' && count + 1 <= width)
                blank = p;
            count++;
            p += char_length(p);
        }
        size_t at = static_cast<size_t>((blank && blank > start ? blank : cut) - line);
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

size_t char_before(const char *text, size_t at)
{
    while (at > 0 && is_continuation(static_cast<unsigned char>(text[--at]))) {
    }
    return at;
}

size_t char_after(const char *text, size_t at)
{
    return text[at] ? at + char_length(text + at) : at;
}

int count_chars(const char *text, size_t from, size_t to)
{
    int n = 0;
    for (size_t i = from; i < to; i++)
        n += !is_continuation(static_cast<unsigned char>(text[i]));
    return n;
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
