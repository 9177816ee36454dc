// libFuzzer entry point: any bytes parse or fail cleanly, and a parsed
// message written back parses to the same fields.
#include "common/common.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    message m;
    if (message_parse(reinterpret_cast<const char *>(data), size, m) < 0) {
        if (m.from || m.title || m.text || m.id || m.date || m.expires)
            abort();
        return 0;
    }
    if (!m.from || !m.title || !m.text)
        abort();
    // Only single-line author and title survive a round trip.
    if (strchr(m.from, '\n') || strchr(m.title, '\n'))
        return 0;
    textbuf b;
    message_format(m, b);
    message n;
    if (message_parse(b.data, b.len, n) < 0)
        abort();
    if (n.id != m.id || n.date != m.date || n.expires != m.expires || strcmp(n.from, m.from) ||
        strcmp(n.title, m.title) || strcmp(n.text, m.text))
        abort();
    return 0;
}
