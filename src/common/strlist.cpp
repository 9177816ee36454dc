// String lists: owned strings, membership by scan or binary search, qsort
// orders.
#include "common.h"

#include <cstdlib>
#include <utility>
#include <cstring>

strlist::~strlist() { strlist_free(*this); }

void strlist_push(strlist &l, char *s)
{
    if (l.count == l.cap) {
        size_t cap = l.cap ? l.cap * 2 : 16;
        l.items = static_cast<char **>(xrealloc(l.items, cap * sizeof *l.items));
        l.cap = cap;
    }
    l.items[l.count++] = s;
}

void strlist_push_copy(strlist &l, const char *s)
{
    strlist_push(l, xstrdup(s));
}

void strlist_insert(strlist &l, size_t index, char *s)
{
    strlist_push(l, s);
    memmove(l.items + index + 1, l.items + index, (l.count - 1 - index) * sizeof *l.items);
    l.items[index] = s;
}

void strlist_remove(strlist &l, size_t index)
{
    free(l.items[index]);
    memmove(l.items + index, l.items + index + 1, (l.count - 1 - index) * sizeof *l.items);
    l.count--;
}

bool strlist_contains(const strlist &l, const char *s)
{
    for (size_t i = 0; i < l.count; i++)
        if (strcmp(l.items[i], s) == 0)
            return true;
    return false;
}

bool strlist_contains_sorted(const strlist &l, const char *s)
{
    return l.count > 0 && bsearch(&s, l.items, l.count, sizeof *l.items, compare_strings) != nullptr;
}

void strlist_sort(strlist &l)
{
    if (l.count >= 2)
        qsort(l.items, l.count, sizeof *l.items, compare_strings);
}

void strlist_swap(strlist &a, strlist &b)
{
    std::swap(a.items, b.items);
    std::swap(a.count, b.count);
    std::swap(a.cap, b.cap);
}

void strlist_free(strlist &l)
{
    for (size_t i = 0; i < l.count; i++)
        free(l.items[i]);
    free(l.items);
    l.items = nullptr;
    l.count = 0;
    l.cap = 0;
}

int compare_strings(const void *a, const void *b)
{
    return strcmp(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

int compare_numeric_names(const void *a, const void *b)
{
    const char *x = *static_cast<char *const *>(a);
    const char *y = *static_cast<char *const *>(b);
    size_t lx = strlen(x), ly = strlen(y);
    if (lx != ly)
        return lx < ly ? -1 : 1;
    return strcmp(x, y);
}
