// Display width: the columns a text takes on a terminal. A terminal gives
// every character the columns of its wide-character tables, so the same
// tables measure here (wcwidth), through a UTF-8 locale loaded for this
// alone: the caller's locale may be "C", where every character beyond ASCII
// is unknown, and the process's own locale is left as it is.
//
// Every fit, cut, pad and cursor position of kelv's screens and tables goes
// through width_next; a row measured any other way would wrap on the
// terminal, scroll the screen and leave pieces of earlier frames behind.
#include "common.h"

#include <cstring>
#include <langinfo.h>
#include <locale.h>
#include <wchar.h>

namespace {

// The UTF-8 tables, looked for once; NULL when the machine has none.
locale_t utf8_tables = nullptr;
bool tables_looked_for = false;

locale_t tables()
{
    if (tables_looked_for)
        return utf8_tables;
    tables_looked_for = true;
    // C.UTF-8 comes with the C library on Debian; the others are for
    // systems that build it only on request.
    static const char *const names[] = {"C.UTF-8", "en_US.UTF-8"};
    for (const char *name : names)
        if ((utf8_tables = newlocale(LC_CTYPE_MASK, name, nullptr)))
            return utf8_tables;
    locale_t own = newlocale(LC_CTYPE_MASK, "", nullptr);
    if (own && strcmp(nl_langinfo_l(CODESET, own), "UTF-8") == 0)
        return utf8_tables = own;
    if (own)
        freelocale(own);
    return nullptr;
}

// The code point of the well-formed sequence of len bytes at p.
uint32_t code_point(const unsigned char *p, size_t len)
{
    static const unsigned char lead_bits[] = {0, 0x7f, 0x1f, 0x0f, 0x07};
    uint32_t c = p[0] & lead_bits[len];
    for (size_t i = 1; i < len; i++)
        c = (c << 6) | (p[i] & 0x3f);
    return c;
}

// Columns of a printable character beyond ASCII: what the tables say, and 1
// for one they do not know, as most terminals draw it.
int columns_of(uint32_t c)
{
    locale_t l = tables();
    locale_t before = l ? uselocale(l) : nullptr;
    int w = wcwidth(static_cast<wchar_t>(c));
    if (l)
        uselocale(before);
    return w < 0 ? 1 : w;
}

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

} // namespace

size_t utf8_length(const unsigned char *p, size_t n)
{
    unsigned char c = p[0], lo = 0x80, hi = 0xbf;
    size_t len;
    if (c >= 0xc2 && c <= 0xdf) {
        len = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        len = 3;
        lo = c == 0xe0 ? 0xa0 : 0x80; // no overlong forms
        hi = c == 0xed ? 0x9f : 0xbf; // no surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
        len = 4;
        lo = c == 0xf0 ? 0x90 : 0x80;
        hi = c == 0xf4 ? 0x8f : 0xbf; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (n < len || p[1] < lo || p[1] > hi)
        return 0;
    for (size_t i = 2; i < len; i++)
        if ((p[i] & 0xc0) != 0x80)
            return 0;
    return len;
}

width_step width_next(const char *text)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    if (p[0] == 0x1b && p[1] == '[') {
        size_t n = 2;
        while (p[n] && !is_letter(static_cast<char>(p[n])))
            n++;
        // Unterminated, it would swallow whatever is written after it.
        if (!p[n])
            return {n, 0, width_control};
        return {n + 1, 0, width_style};
    }
    if (p[0] == '\t')
        return {1, 1, width_blank};
    if (p[0] < 0x20 || p[0] == 0x7f)
        return {1, 0, width_control};
    if (p[0] < 0x80)
        return {1, 1, width_printable};
    // A NUL ends a sequence early: no byte past the string is read.
    size_t len = utf8_length(p, 4);
    if (len == 0)
        return {1, 1, width_printable}; // a stray byte: one replacement sign
    uint32_t c = code_point(p, len);
    if (c <= 0x9f)
        return {len, 0, width_control};
    return {len, columns_of(c), width_printable};
}

int width_of_bytes(const char *text, size_t len)
{
    int width = 0;
    for (const char *p = text, *end = text + len; p < end && *p;) {
        width_step s = width_next(p);
        width += s.columns;
        p += s.len;
    }
    return width;
}

int width_of(const char *text) { return width_of_bytes(text, strlen(text)); }

size_t width_char_after(const char *text, size_t at)
{
    if (!text[at])
        return at;
    at += width_next(text + at).len;
    // Combining marks and joiners belong to the character before them.
    for (;;) {
        if (!text[at])
            return at;
        width_step s = width_next(text + at);
        if (s.kind != width_printable || s.columns != 0)
            return at;
        at += s.len;
    }
}

size_t width_char_before(const char *text, size_t at)
{
    while (at > 0) {
        // The start of the code point before at: a lead byte whose sequence
        // ends there, or else the single byte before it.
        size_t start = at - 1;
        for (size_t back = 1; back <= 4 && back <= at; back++) {
            unsigned char c = static_cast<unsigned char>(text[at - back]);
            if ((c & 0xc0) != 0x80) {
                if (utf8_length(reinterpret_cast<const unsigned char *>(text + at - back), back) == back)
                    start = at - back;
                break;
            }
        }
        width_step s = width_next(text + start);
        at = start;
        if (s.kind != width_printable || s.columns != 0)
            break;
    }
    return at;
}

size_t width_skip_front(const char *text, int &width, int room)
{
    size_t from = 0;
    while (width > room && text[from]) {
        size_t next = width_char_after(text, from);
        width -= width_of_bytes(text + from, next - from);
        from = next;
    }
    return from;
}
