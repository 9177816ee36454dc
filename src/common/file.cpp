// File operations of the message store. The two programs never talk to each
// other directly: they meet in files written with these operations, so every
// read is bounded, every replacement atomic, and no open of a reader blocks
// on a FIFO or a terminal.
#include "common.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

static const int read_flags = O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

void unique_fd::reset(int fd)
{
    if (fd_ >= 0) {
        int saved = errno;
        close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

int make_pipe(fd_pair &p)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0)
        return -1;
    p.read_end.reset(fds[0]);
    p.write_end.reset(fds[1]);
    return 0;
}

int read_fd(int fd, size_t limit, textbuf &b)
{
    char chunk[8192];
    for (;;) {
        ssize_t r = read(fd, chunk, sizeof chunk);
        if (r == 0)
            return 0;
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (b.len < limit) {
            size_t room = limit - b.len;
            textbuf_append(b, chunk, static_cast<size_t>(r) < room ? static_cast<size_t>(r) : room);
        }
    }
}

int read_file(const char *path, size_t limit, bool nofollow, textbuf &b)
{
    unique_fd fd(open(path, read_flags | (nofollow ? O_NOFOLLOW : 0)));
    if (!fd.valid())
        return -1;
    struct stat st;
    bool examined = fstat(fd.get(), &st) == 0;
    if (!examined || !S_ISREG(st.st_mode)) {
        // A directory is named as such: "kelv send --file /etc" says so.
        errno = examined && S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    if (static_cast<uint64_t>(st.st_size) > limit) {
        errno = EFBIG;
        return -1;
    }
    return read_fd(fd.get(), limit, b);
}

int write_all(int fd, const void *bytes, size_t n)
{
    const char *p = static_cast<const char *>(bytes);
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (w == 0) {
            errno = EIO;
            return -1;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

int write_file_atomic(const char *path, const void *bytes, size_t n, mode_t mode)
{
    char *tmp = xasprintf("%s.tmp", path);
    unlink(tmp); // a leftover of an earlier crash
    int rc = -1;
    int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) {
        if (write_all(fd, bytes, n) == 0 && fsync(fd) == 0) {
            rc = close(fd);
            fd = -1;
            if (rc == 0)
                rc = rename(tmp, path);
        }
        if (fd >= 0) {
            int saved = errno;
            close(fd);
            errno = saved;
        }
    }
    int saved = errno;
    if (rc < 0)
        unlink(tmp);
    free(tmp);
    errno = saved;
    return rc;
}

int fsync_path(const char *path)
{
    unique_fd fd(open(path, read_flags));
    if (!fd.valid())
        return -1;
    return fsync(fd.get());
}

int syncfs_path(const char *path)
{
    unique_fd fd(open(path, read_flags));
    if (!fd.valid())
        return -1;
    return syncfs(fd.get());
}

bool path_exists(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0;
}

bool is_directory(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_all_digits(const char *s)
{
    if (!*s)
        return false;
    for (; *s; s++)
        if (*s < '0' || *s > '9')
            return false;
    return true;
}

bool parse_number(const char *s, int64_t &out)
{
    size_t n = strlen(s);
    if (n < 1 || n > 18 || !is_all_digits(s))
        return false;
    int64_t v = 0;
    for (; *s; s++)
        v = v * 10 + (*s - '0');
    out = v;
    return true;
}

int list_numbered(const char *dir, strlist &out)
{
    DIR *d = opendir(dir);
    if (!d)
        return -1;
    while (struct dirent *e = readdir(d))
        if (strlen(e->d_name) <= 18 && is_all_digits(e->d_name))
            strlist_push_copy(out, e->d_name);
    closedir(d);
    if (out.count >= 2)
        qsort(out.items, out.count, sizeof *out.items, compare_numeric_names);
    return 0;
}

int open_beneath(int dir, const char *path, int flags, mode_t mode)
{
    struct open_how how = {};
    // openat2 refuses flags that mean nothing to the open, as O_NOCTTY with O_PATH.
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC | ((flags & O_PATH) ? 0 : O_NOCTTY));
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_XDEV | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    // EAGAIN: a rename somewhere on the machine raced the lookup; it is safe
    // to retry, but a bounded number of times: a user who renames in a loop
    // must not keep root's command spinning.
    for (int tries = 0;; tries++) {
        long fd = syscall(SYS_openat2, dir, path, &how, sizeof how);
        if (fd >= 0 || (errno != EINTR && errno != EAGAIN) || tries == 1000)
            return static_cast<int>(fd);
    }
}

bool exists_beneath(int dir, const char *name)
{
    int fd = open_beneath(dir, name, O_PATH);
    if (fd >= 0) {
        close(fd);
        return true;
    }
    return errno == ELOOP || errno == EXDEV;
}
