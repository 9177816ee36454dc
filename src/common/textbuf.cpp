// Text buffers. Capacity grows 64, 128, 256 ... so that long outputs need few
// reallocations; data stays NUL-terminated once anything was appended.
#include "common.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

textbuf::~textbuf() { textbuf_free(*this); }

void textbuf_reserve(textbuf &b, size_t n)
{
    if (n > SIZE_MAX - 2 - b.len)
        die("out of memory");
    size_t need = b.len + n + 1;
    if (b.cap >= need)
        return;
    size_t cap = b.cap < 64 ? 64 : b.cap;
    const size_t top_bit = ~(SIZE_MAX >> 1);
    while (cap < need) {
        if ((cap << 1) & top_bit) {
            cap = need;
            break;
        }
        cap <<= 1;
    }
    b.data = static_cast<char *>(xrealloc(b.data, cap));
    b.cap = cap;
}

void textbuf_append(textbuf &b, const void *bytes, size_t n)
{
    textbuf_reserve(b, n);
    if (n)
        memcpy(b.data + b.len, bytes, n);
    b.len += n;
    b.data[b.len] = '\0';
}

void textbuf_append_str(textbuf &b, const char *s)
{
    textbuf_append(b, s, strlen(s));
}

void textbuf_append_char(textbuf &b, char c)
{
    textbuf_append(b, &c, 1);
}

void textbuf_vprintf(textbuf &b, const char *fmt, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n < 0)
        die("invalid format");
    textbuf_reserve(b, static_cast<size_t>(n));
    vsnprintf(b.data + b.len, static_cast<size_t>(n) + 1, fmt, ap);
    b.len += static_cast<size_t>(n);
}

void textbuf_printf(textbuf &b, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    textbuf_vprintf(b, fmt, ap);
    va_end(ap);
}

void textbuf_append_repeated(textbuf &b, const char *piece, int times)
{
    for (int i = 0; i < times; i++)
        textbuf_append_str(b, piece);
}

// Walks text as textbuf_append_field sees it: runs of blanks as one blank,
// each character with its width. Appends to b (when given) while the width
// stays within limit; returns the width of the whole text.
static size_t walk_field(const char *text, size_t limit, textbuf *b)
{
    size_t used = 0;
    for (const char *p = text; *p;) {
        bool blank = *p == ' ' || *p == '\t';
        width_step s = width_next(p);
        size_t len = blank ? strspn(p, " \t") : s.len;
        size_t width = blank ? 1 : static_cast<size_t>(s.columns);
        if (b && used + width <= limit)
            textbuf_append(*b, blank ? " " : p, blank ? 1 : len);
        else
            b = nullptr;
        used += width;
        p += len;
    }
    return used;
}

void textbuf_append_field(textbuf &b, const char *text, size_t columns)
{
    if (walk_field(text, 0, nullptr) <= columns) {
        walk_field(text, columns, &b);
        return;
    }
    walk_field(text, columns > 0 ? columns - 1 : 0, &b);
    textbuf_append_str(b, "…");
}

void textbuf_append_cell(textbuf &b, const char *text, int columns, const char *reset)
{
    int used = 0;
    for (const char *p = text; *p;) {
        width_step s = width_next(p);
        if (s.kind == width_style) {
            textbuf_append(b, p, s.len);
        } else if (s.kind != width_control) {
            if (used + s.columns > columns)
                break;
            textbuf_append(b, s.kind == width_blank ? " " : p, s.kind == width_blank ? 1 : s.len);
            used += s.columns;
        }
        p += s.len;
    }
    if (reset)
        textbuf_append_str(b, reset);
    textbuf_append_repeated(b, " ", columns - used);
}

void textbuf_append_padded(textbuf &b, const char *text, int columns)
{
    textbuf_append_str(b, text);
    textbuf_append_repeated(b, " ", columns - width_of(text));
}

void textbuf_clear(textbuf &b)
{
    b.len = 0;
    if (b.data)
        b.data[0] = '\0';
}

void textbuf_free(textbuf &b)
{
    free(b.data);
    b.data = nullptr;
    b.len = 0;
    b.cap = 0;
}
