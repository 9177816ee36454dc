// libFuzzer entry point: any delivery log gives each user at most once,
// either delivered (with a count beside it) or given up on, never both.
#include "core/core.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    strlist users, counts, given_up;
    parse_deliveries(reinterpret_cast<const char *>(data), size, &users, &counts, &given_up);
    if (users.count != counts.count)
        abort();
    for (size_t i = 0; i < users.count; i++) {
        if (!*users.items[i] || strpbrk(users.items[i], " \t\n") || strlist_contains(given_up, users.items[i]))
            abort();
        for (size_t j = 0; j < i; j++)
            if (strcmp(users.items[i], users.items[j]) == 0)
                abort();
    }
    strlist alone;
    parse_deliveries(reinterpret_cast<const char *>(data), size, nullptr, nullptr, &alone);
    if (alone.count != given_up.count)
        abort();
    return 0;
}
