// The message file: six header lines, an empty line, then the text to the end
// of the file. There is no escaping; the text runs to the end, so it may hold
// anything, while author and title are single lines.
//
// clean_text is the one sanitizer for every untrusted byte bound for a
// terminal: message text, titles, confirmation records, journal fields.
#include "common.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

message::~message() { message_free(*this); }

void message_free(message &m)
{
    free(m.from);
    free(m.title);
    free(m.text);
    m.id = 0;
    m.from = nullptr;
    m.date = 0;
    m.title = nullptr;
    m.expires = 0;
    m.text = nullptr;
}

void message_copy(const message &from, message &to)
{
    message_free(to);
    to.id = from.id;
    to.from = from.from ? xstrdup(from.from) : nullptr;
    to.date = from.date;
    to.title = from.title ? xstrdup(from.title) : nullptr;
    to.expires = from.expires;
    to.text = from.text ? xstrdup(from.text) : nullptr;
}

void message_format(const message &m, textbuf &out)
{
    textbuf_printf(out, "format: 1\nid: %lld\nfrom: %s\ndate: %lld\ntitle: %s\nexpires: ",
                   static_cast<long long>(m.id), m.from ? m.from : "",
                   static_cast<long long>(m.date), m.title ? m.title : "");
    if (m.expires != 0)
        textbuf_printf(out, "%lld", static_cast<long long>(m.expires));
    textbuf_append_str(out, "\n\n");
    textbuf_append_str(out, m.text ? m.text : "");
}

// parse_number over a span that is not NUL-terminated.
static bool parse_span_number(const char *p, size_t n, int64_t &out)
{
    if (n < 1 || n > 18)
        return false;
    char digits[19];
    memcpy(digits, p, n);
    digits[n] = '\0';
    return strlen(digits) == n && parse_number(digits, out);
}

static bool key_is(const char *key, size_t klen, const char *name)
{
    return klen == strlen(name) && memcmp(key, name, klen) == 0;
}

static void replace_string(char *&field, const char *value, size_t n)
{
    free(field);
    field = xstrndup(value, n);
}

int message_parse(const char *bytes, size_t len, message &m)
{
    message_free(m);
    bool date_ok = false;
    size_t pos = 0;
    while (pos < len) {
        const char *line = bytes + pos;
        const char *nl = static_cast<const char *>(memchr(line, '\n', len - pos));
        size_t llen = nl ? static_cast<size_t>(nl - line) : len - pos;
        size_t next = nl ? pos + llen + 1 : len;
        if (llen == 0) {
            m.text = xstrndup(bytes + next, len - next);
            break;
        }
        pos = next;

        const char *key = line, *value;
        size_t klen, vlen;
        const char *sep = static_cast<const char *>(memmem(line, llen, ": ", 2));
        if (sep) {
            klen = static_cast<size_t>(sep - line);
            value = sep + 2;
            vlen = llen - klen - 2;
        } else if (line[llen - 1] == ':') {
            klen = llen - 1;
            value = line + llen;
            vlen = 0;
        } else {
            continue;
        }

        if (key_is(key, klen, "id")) {
            parse_span_number(value, vlen, m.id);
        } else if (key_is(key, klen, "from")) {
            replace_string(m.from, value, vlen);
        } else if (key_is(key, klen, "date")) {
            date_ok = parse_span_number(value, vlen, m.date);
        } else if (key_is(key, klen, "title")) {
            replace_string(m.title, value, vlen);
        } else if (key_is(key, klen, "expires")) {
            if (!parse_span_number(value, vlen, m.expires))
                m.expires = 0;
        }
    }
    if (!date_ok) {
        message_free(m);
        errno = EINVAL;
        return -1;
    }
    if (!m.from)
        m.from = xstrdup("");
    if (!m.title)
        m.title = xstrdup("");
    if (!m.text)
        m.text = xstrdup("");
    return 0;
}

int message_read(const char *path, message &m)
{
    message_free(m);
    textbuf b;
    if (read_file(path, MESSAGE_FILE_LIMIT, true, b) < 0)
        return -1;
    return message_parse(textbuf_str(b), b.len, m);
}

bool message_expired(const message &m, int64_t t)
{
    return m.expires != 0 && m.expires <= t;
}

void message_heading(const message &m, textbuf &out)
{
    char when[32];
    format_time(m.date, when);
    if (m.title && *m.title)
        textbuf_printf(out, "%s · %s", m.title, when);
    else
        textbuf_append_str(out, when);
}

// Passes 1 and 2 work on one line at a time: CSI sequences (ESC "[" params
// final) and OSC strings (ESC "]" ... BEL) go whole.
static void strip_csi(const char *p, size_t n, textbuf &out)
{
    size_t i = 0;
    while (i < n) {
        if (p[i] == '\x1b' && i + 2 < n && p[i + 1] == '[') {
            size_t j = i + 2;
            while (j < n && ((p[j] >= '0' && p[j] <= '9') || p[j] == ';' || p[j] == '?'))
                j++;
            if (j < n && p[j] >= 0x40 && p[j] <= 0x7e) {
                i = j + 1;
                continue;
            }
        }
        textbuf_append_char(out, p[i++]);
    }
}

static void strip_osc(const char *p, size_t n, textbuf &out)
{
    size_t i = 0;
    while (i < n) {
        if (p[i] == '\x1b' && i + 2 < n && p[i + 1] == ']') {
            const char *bel = static_cast<const char *>(memchr(p + i + 2, '\a', n - i - 2));
            if (bel) {
                i = static_cast<size_t>(bel - p) + 1;
                continue;
            }
        }
        textbuf_append_char(out, p[i++]);
    }
}

static bool is_dropped_control(unsigned char c)
{
    return c <= 0x08 || (c >= 0x0b && c <= 0x1f) || c == 0x7f;
}

// Characters that change what a terminal shows without showing themselves:
// the C1 controls (U+0080 to U+009F) and the explicit bidirectional
// embeddings, overrides and isolates (U+202A to U+202E, U+2066 to U+2069),
// which can make a line read as something else.
static bool is_hidden_control(const unsigned char *p, size_t len)
{
    if (len == 2)
        return p[0] == 0xc2 && p[1] <= 0x9f;
    if (len == 3 && p[0] == 0xe2)
        return (p[1] == 0x80 && p[2] >= 0xaa && p[2] <= 0xae) || (p[1] == 0x81 && p[2] >= 0xa6 && p[2] <= 0xa9);
    return false;
}

void clean_text(const char *bytes, size_t len, textbuf &out)
{
    textbuf csi, osc;
    size_t pos = 0;
    while (pos < len) {
        const char *nl = static_cast<const char *>(memchr(bytes + pos, '\n', len - pos));
        size_t llen = nl ? static_cast<size_t>(nl - (bytes + pos)) : len - pos;
        textbuf_clear(csi);
        strip_csi(bytes + pos, llen, csi);
        strip_osc(textbuf_str(csi), csi.len, osc);
        if (nl)
            textbuf_append_char(osc, '\n');
        pos += llen + (nl ? 1 : 0);
    }

    // Pass 3, control bytes, into the room reserved at the end of out.
    size_t start = out.len;
    textbuf_reserve(out, osc.len);
    unsigned char *region = reinterpret_cast<unsigned char *>(out.data + start);
    size_t n = 0;
    for (size_t i = 0; i < osc.len; i++)
        if (!is_dropped_control(static_cast<unsigned char>(osc.data[i])))
            region[n++] = static_cast<unsigned char>(osc.data[i]);

    // Pass 4, in place over what pass 3 kept: hidden controls go whole, and
    // so does every byte from 0x80 to 0x9F outside a well-formed sequence (on
    // an 8-bit terminal such a byte is itself a C1 control). Such bytes are
    // the only continuation bytes that could join a lead byte before and
    // after a removal, so nothing removed here ever forms a new sequence.
    size_t kept = 0;
    for (size_t i = 0; i < n;) {
        size_t seq = region[i] >= 0x80 ? utf8_length(region + i, n - i) : 1;
        if (seq == 0) {
            if (region[i] >= 0xa0)
                region[kept++] = region[i]; // a stray byte, but no control anywhere
            i++;
            continue;
        }
        if (!is_hidden_control(region + i, seq))
            for (size_t k = 0; k < seq; k++)
                region[kept++] = region[i + k];
        i += seq;
    }
    out.len = start + kept;
    out.data[out.len] = '\0';
}
