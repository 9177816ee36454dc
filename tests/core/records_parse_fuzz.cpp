// libFuzzer entry point: whatever a mailbox's read step prints (a child of
// the user's, so anything at all), the records come out in ascending order,
// one per number, and no confirmation carries a control byte or a line break.
#include "core/core.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    record_table t;
    parse_records(reinterpret_cast<const char *>(data), size, t);
    for (size_t i = 0; i < t.count; i++) {
        const mailbox_record &r = t.items[i];
        if (r.number < 0 || r.postponed < 0 || (i > 0 && t.items[i - 1].number >= r.number))
            abort();
        if (find_record(t, r.number) != &r)
            abort();
        for (const char *c = r.confirmation; c && *c; c++)
            if ((static_cast<unsigned char>(*c) < 0x20 && *c != '\t') || *c == 0x7f)
                abort();
    }
    return 0;
}
