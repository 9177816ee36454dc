// libFuzzer entry point: a ready file (the user's own) yields a process ID
// only when its first line is exactly a number from 2 to 4194304.
#include "core/core.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(data);
    int64_t pid = -1;
    bool taken = parse_ready_file(bytes, size, pid);
    const char *nl = static_cast<const char *>(memchr(bytes, '\n', size));
    size_t first = nl ? static_cast<size_t>(nl - bytes) : size;
    bool digits = first >= 1 && first <= 18;
    int64_t value = 0;
    for (size_t i = 0; digits && i < first; i++) {
        digits = bytes[i] >= '0' && bytes[i] <= '9';
        value = value * 10 + (bytes[i] - '0');
    }
    bool expected = digits && value >= 2 && value <= 4194304;
    if (taken != expected || (taken && pid != value) || (!taken && pid != -1))
        abort();
    return 0;
}
