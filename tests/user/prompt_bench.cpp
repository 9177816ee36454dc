// How much the prompt hook adds to every command line: kelvora-user prompt
// started on a terminal, against a do-nothing C program started the same
// way. Prints figures; it asserts nothing.
//
//   prompt_bench KELVORA_USER NOOP_PROGRAM [RUNS]
#include "common/common.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
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

// Runs argv once with the pty slave as its terminal; seconds taken.
double time_run(const std::vector<const char *> &argv, int slave, int master)
{
    double start = seconds();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        execv(argv[0], const_cast<char **>(argv.data()));
        _exit(127);
    }
    int st;
    waitpid(pid, &st, 0);
    double took = seconds() - start;
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
        fprintf(stderr, "%s failed\n", argv[0]);
        exit(1);
    }
    char drain[4096];
    while (read(master, drain, sizeof drain) > 0) {
    }
    return took;
}

// Mean seconds of each program, the two run alternately so that a change of
// load on the machine weighs on both alike.
void time_pair(const std::vector<const char *> &a, const std::vector<const char *> &b, int slave, int master,
               int runs, double &mean_a, double &mean_b)
{
    double ta = 0, tb = 0;
    for (int i = 0; i < runs; i++) {
        ta += time_run(a, slave, master);
        tb += time_run(b, slave, master);
    }
    mean_a = ta / runs;
    mean_b = tb / runs;
}

void make_mailbox(const std::string &store, const char *user, int handled)
{
    std::string box = store + "/users/" + user;
    for (std::string d : {store, store + "/users", box, box + "/inbox", box + "/read", box + "/acks", box + "/state"})
        mkdir(d.c_str(), 0755);
    for (int n = 1; n <= handled; n++) {
        std::string id = std::to_string(n);
        std::string copy = "format: 1\nid: " + id + "\nfrom: root\ndate: 1\ntitle: \nexpires: \n\nx\n";
        write_file_atomic((box + "/read/" + id).c_str(), copy.data(), copy.size(), 0644);
        write_file_atomic((box + "/acks/" + id).c_str(), "1 desktop\n", 10, 0644);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s KELVORA_USER NOOP_PROGRAM [RUNS]\n", argv[0]);
        return 2;
    }
    int runs = argc > 3 ? atoi(argv[3]) : 2000;
    int master, slave;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) < 0)
        return 1;
    fcntl(master, F_SETFL, O_NONBLOCK);
    char tmpl[] = "/tmp/kelvora-bench-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    const char *user = getenv("USER") ? getenv("USER") : "root";
    setenv("KELV_TEST", "1", 1);
    setenv("KELV_CONF", (dir + "/kelvora.conf").c_str(), 1);

    std::vector<const char *> noop = {argv[2], nullptr};
    std::vector<const char *> prompt = {argv[1], "prompt", nullptr};
    printf("%-34s %10s %8s\n", "program", "mean (ms)", "ratio");
    for (int handled : {0, 100}) {
        std::string store = dir + "/store" + std::to_string(handled);
        make_mailbox(store, user, handled);
        setenv("KELV_VAR", store.c_str(), 1);
        double base, t;
        time_pair(noop, prompt, slave, master, 50, base, t); // warm the caches
        time_pair(noop, prompt, slave, master, runs, base, t);
        printf("%-34s %10.3f %8s\n", "do-nothing program", base * 1000, "1.00");
        char label[64];
        snprintf(label, sizeof label, "prompt, %d handled messages", handled);
        printf("%-34s %10.3f %8.2f\n", label, t * 1000, t / base);
    }
    std::string rm = "rm -rf " + dir;
    return system(rm.c_str()) == 0 ? 0 : 1;
}
