// Recipient resolution: the one comma-separated argument that names who gets
// a message. The first error ends the process, so no partial list is used.
#include "core.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>

void resolve_recipients(const char *text, strlist &out)
{
    char *copy = xstrdup(text);
    char *rest = copy;
    // strsep, not strtok: items are taken exactly as written, blanks included.
    while (char *item = strsep(&rest, ",")) {
        if (!*item)
            continue;
        strlist names;
        if (strcmp(item, "all") == 0) {
            list_human_users(names);
        } else if (strcmp(item, "online") == 0) {
            list_online_users(names);
        } else if (item[0] == '@') {
            if (!list_group_members(item + 1, names))
                die("no such group: %s", item + 1);
        } else {
            if (!getpwnam(item))
                die("no such user: %s", item);
            strlist_push_copy(names, item);
        }
        for (size_t i = 0; i < names.count; i++)
            if (*names.items[i] && !strlist_contains(out, names.items[i]))
                strlist_push_copy(out, names.items[i]);
    }
    free(copy);
    strlist_sort(out);
}

int count_recipients(const char *text)
{
    strlist names;
    resolve_recipients(text, names);
    printf("%zu\n", names.count);
    return 0;
}
