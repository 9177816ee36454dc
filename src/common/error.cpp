// Error reporting and allocation. Nothing here fails quietly: an allocation
// either succeeds or the process ends with "out of memory".
#include "common.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static void vreport(const char *fmt, va_list ap)
{
    // Output that came before the error must appear before it.
    fflush(stdout);
    fprintf(stderr, "%s: ", program_name);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    fflush(stderr);
}

// What die() has to say is said by the last exit handler, after every other
// one has given back what it took: the interface leaves its alternate screen
// first, and the line lands on the screen that stays.
static char *fatal_line;
static bool fatal_deferred;

static void say_fatal()
{
    if (fatal_line)
        fputs(fatal_line, stderr);
    fflush(stderr);
}

// Registered before main, so before any handler of a command: it runs last.
__attribute__((constructor)) static void defer_fatal() { fatal_deferred = atexit(say_fatal) == 0; }

void die(const char *fmt, ...)
{
    fflush(stdout);
    char *text = nullptr;
    va_list ap;
    va_start(ap, fmt);
    int n = vasprintf(&text, fmt, ap);
    va_end(ap);
    // Out of memory, the line is what die was asked to say at all.
    if (n < 0 || asprintf(&fatal_line, "%s: %s\n", program_name, text) < 0) {
        static char plain[256];
        snprintf(plain, sizeof plain, "%s: %s\n", program_name, n < 0 ? fmt : text);
        fatal_line = plain;
    }
    if (!fatal_deferred)
        say_fatal();
    exit(1);
}

void warnf(const char *fmt, ...)
{
    int saved = errno;
    va_list ap;
    va_start(ap, fmt);
    vreport(fmt, ap);
    va_end(ap);
    errno = saved;
}

void *xmalloc(size_t n)
{
    void *p = malloc(n ? n : 1);
    if (!p)
        die("out of memory");
    return p;
}

void *xrealloc(void *p, size_t n)
{
    void *q = realloc(p, n ? n : 1);
    if (!q)
        die("out of memory");
    return q;
}

char *xstrdup(const char *s)
{
    return xstrndup(s, strlen(s));
}

char *xstrndup(const char *s, size_t n)
{
    size_t len = strnlen(s, n);
    char *p = static_cast<char *>(xmalloc(len + 1));
    memcpy(p, s, len);
    p[len] = '\0';
    return p;
}

char *xasprintf(const char *fmt, ...)
{
    char *p = nullptr;
    va_list ap;
    va_start(ap, fmt);
    int n = vasprintf(&p, fmt, ap);
    va_end(ap);
    if (n < 0)
        die("out of memory");
    return p;
}
