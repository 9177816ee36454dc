// libFuzzer entry point: clean_text must never let a control byte or a C1
// control through, and cleaning its own output must change nothing.
#include "common/common.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    textbuf out;
    clean_text(reinterpret_cast<const char *>(data), size, out);
    for (size_t i = 0; i < out.len; i++) {
        unsigned char c = static_cast<unsigned char>(out.data[i]);
        if (c <= 0x08 || (c >= 0x0b && c <= 0x1f) || c == 0x7f)
            abort();
        if (c == 0xc2 && i + 1 < out.len) {
            unsigned char d = static_cast<unsigned char>(out.data[i + 1]);
            if (d >= 0x80 && d <= 0x9f)
                abort();
        }
    }
    textbuf again;
    clean_text(out.data, out.len, again);
    if (again.len != out.len || memcmp(again.data, out.data, out.len) != 0)
        abort();
    return 0;
}
