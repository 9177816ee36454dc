// How long reading every mailbox's records takes: through kelv's children,
// one mailbox after another and several at once, against the floor of
// reading the same confirmation records and postponement markers one after
// another in this one process, with no child at all. Runs on the store that
// KELV_TEST and KELV_VAR name; the accounts are the store's mailboxes.
// Prints figures; it asserts nothing.
//
//   records_bench [RUNS]
#include "core/core.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

double seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// The names in the directory dirfd (which it closes).
std::vector<std::string> names_in(int dirfd)
{
    std::vector<std::string> out;
    if (DIR *d = dirfd >= 0 ? fdopendir(dirfd) : nullptr) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                out.push_back(e->d_name);
        closedir(d);
    } else if (dirfd >= 0) {
        close(dirfd);
    }
    return out;
}

int open_dir(int at, const char *name) { return openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

// The floor: every record of every mailbox read in this process, the first
// line of each confirmation kept and each marker's time taken. The number of
// records found.
size_t read_in_process(const std::string &users, const std::vector<std::string> &names)
{
    size_t found = 0;
    int top = open_dir(AT_FDCWD, users.c_str());
    for (const std::string &name : names) {
        int box = open_dir(top, name.c_str());
        int acks = open_dir(box, "acks"), state = open_dir(box, "state");
        for (const std::string &n : names_in(dup(acks))) {
            int fd = openat(acks, n.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
            char buf[200];
            if (fd >= 0 && read(fd, buf, sizeof buf) > 0)
                found++;
            if (fd >= 0)
                close(fd);
        }
        for (const std::string &n : names_in(dup(state))) {
            struct stat st;
            if (fstatat(state, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_mtime != 0)
                found++;
        }
        for (int fd : {acks, state, box})
            if (fd >= 0)
                close(fd);
    }
    close(top);
    return found;
}

size_t records_in(const record_table &t)
{
    size_t found = 0;
    for (size_t i = 0; i < t.count; i++)
        found += (t.items[i].confirmation ? 1 : 0) + (t.items[i].postponed ? 1 : 0);
    return found;
}

} // namespace

int main(int argc, char **argv)
{
    lib_init("records_bench");
    int runs = argc > 1 ? atoi(argv[1]) : 3;
    std::string users = std::string(var_dir) + "/users";
    std::vector<std::string> names = names_in(open_dir(AT_FDCWD, users.c_str()));
    strlist numbers;
    list_sent_numbers(numbers);

    strlist all;
    for (const std::string &name : names)
        strlist_push_copy(all, name.c_str());

    double floor = 1e9, one_by_one = 1e9, at_once = 1e9;
    size_t floor_found = 0, kelv_found = 0, cached_found = 0;
    for (int r = 0; r < runs; r++) {
        double start = seconds();
        floor_found = read_in_process(users, names);
        floor = std::min(floor, seconds() - start);

        start = seconds();
        kelv_found = 0;
        for (const std::string &name : names) {
            user_info u;
            record_table t;
            if (user_lookup(name.c_str(), u))
                collect_records(u, numbers, t);
            kelv_found += records_in(t);
        }
        one_by_one = std::min(one_by_one, seconds() - start);

        forget_records();
        start = seconds();
        load_records(all);
        at_once = std::min(at_once, seconds() - start);
        cached_found = 0;
        for (const std::string &name : names)
            cached_found += records_in(records_for_user(name.c_str()));
    }
    printf("%zu mailboxes, %zu messages, best of %d runs\n", names.size(), numbers.count, runs);
    printf("%-40s %8.3f s   (%zu records)\n", "one process, no child (the floor)", floor, floor_found);
    printf("%-40s %8.3f s   (%zu records)   %.2f x the floor\n", "one child per mailbox, one at a time",
           one_by_one, kelv_found, one_by_one / floor);
    char label[64];
    snprintf(label, sizeof label, "%zu children at once (as kelv reads)", usable_cores());
    printf("%-40s %8.3f s   (%zu records)   %.2f x the floor\n", label, at_once, cached_found, at_once / floor);
    return 0;
}
