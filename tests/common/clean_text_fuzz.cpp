// libFuzzer entry point: clean_text must never let a control byte, a C1
// control in any form or an explicit bidirectional control through, and
// cleaning its own output must change nothing.
#include "common/common.h"

#include <cstdlib>
#include <cstring>

namespace {

// The length of the well-formed UTF-8 sequence at p, 0 when none starts there
// (written apart from the library's, from the Unicode table of well-formed
// byte sequences).
size_t sequence(const unsigned char *p, size_t n)
{
    static const struct {
        unsigned char first_lo, first_hi, second_lo, second_hi;
        size_t len;
    } forms[] = {{0xc2, 0xdf, 0x80, 0xbf, 2}, {0xe0, 0xe0, 0xa0, 0xbf, 3}, {0xe1, 0xec, 0x80, 0xbf, 3},
                 {0xed, 0xed, 0x80, 0x9f, 3}, {0xee, 0xef, 0x80, 0xbf, 3}, {0xf0, 0xf0, 0x90, 0xbf, 4},
                 {0xf1, 0xf3, 0x80, 0xbf, 4}, {0xf4, 0xf4, 0x80, 0x8f, 4}};
    for (const auto &f : forms) {
        if (p[0] < f.first_lo || p[0] > f.first_hi)
            continue;
        if (n < f.len || p[1] < f.second_lo || p[1] > f.second_hi)
            return 0;
        for (size_t i = 2; i < f.len; i++)
            if (p[i] < 0x80 || p[i] > 0xbf)
                return 0;
        return f.len;
    }
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    textbuf out;
    clean_text(reinterpret_cast<const char *>(data), size, out);
    const unsigned char *o = reinterpret_cast<const unsigned char *>(textbuf_str(out));
    for (size_t i = 0; i < out.len;) {
        unsigned char c = o[i];
        if (c <= 0x08 || (c >= 0x0b && c <= 0x1f) || c == 0x7f)
            abort();
        size_t len = c >= 0x80 ? sequence(o + i, out.len - i) : 1;
        if (len == 0 && c <= 0x9f)
            abort(); // a C1 byte on an 8-bit terminal
        if (len == 2 && c == 0xc2 && o[i + 1] <= 0x9f)
            abort(); // a C1 control in UTF-8
        if (len == 3 && c == 0xe2 &&
            ((o[i + 1] == 0x80 && o[i + 2] >= 0xaa && o[i + 2] <= 0xae) ||
             (o[i + 1] == 0x81 && o[i + 2] >= 0xa6 && o[i + 2] <= 0xa9)))
            abort(); // a bidirectional control
        i += len ? len : 1;
    }
    textbuf again;
    clean_text(textbuf_str(out), out.len, again);
    if (again.len != out.len || memcmp(textbuf_str(again), textbuf_str(out), out.len) != 0)
        abort();
    return 0;
}
