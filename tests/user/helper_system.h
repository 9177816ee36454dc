// What the real-system tests of kelvora-user share: messages sent by the
// installed kelv as root, the paths of a user's mailbox, the configuration
// file, waiting for a condition, starting two helpers at the same instant,
// and the events logged since the test began.
#pragma once

#include "system.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace helper_system {

// Where a real installation puts the helper; kelv and the shell hooks run it
// from there.
inline const std::string helper = "/usr/local/lib/kelvora/kelvora-user";
inline const std::string conf_file = "/etc/kelvora/kelvora.conf";
inline const std::string question = "[Kelvora] Do you confirm you have read the message? [y/N] ";

inline int64_t realtime_usec()
{
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

inline int64_t monotonic_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Polls pred every 20 ms until it holds or timeout_ms has passed.
template <class Pred> bool eventually(Pred pred, int timeout_ms)
{
    int64_t deadline = monotonic_ms() + timeout_ms;
    for (;;) {
        if (pred())
            return true;
        if (monotonic_ms() > deadline)
            return false;
        usleep(20000);
    }
}

inline size_t occurrences(const std::string &text, const std::string &part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        count++;
    return count;
}

// Waits until the process's output holds text at or after position from.
inline bool wait_for_after(pty_process &p, const std::string &text, size_t from, int timeout_ms)
{
    int64_t deadline = monotonic_ms() + timeout_ms;
    while (p.output.size() < from || p.output.find(text, from) == std::string::npos) {
        int64_t left = deadline - monotonic_ms();
        if (left <= 0)
            return false;
        // Reads for a while: the output never holds a NUL byte.
        p.wait_for(std::string(1, '\0'), static_cast<int>(std::min<int64_t>(left, 50)));
    }
    return true;
}

// Waits until the process's output holds text count times.
inline bool wait_for_count(pty_process &p, const std::string &text, size_t count, int timeout_ms)
{
    int64_t deadline = monotonic_ms() + timeout_ms;
    while (occurrences(p.output, text) < count) {
        int64_t left = deadline - monotonic_ms();
        if (left <= 0)
            return false;
        p.wait_for(std::string(1, '\0'), static_cast<int>(std::min<int64_t>(left, 50)));
    }
    return true;
}

// A path in the user's mailbox, e.g. box("inbox/3").
inline std::string box(const std::string &rel, const std::string &user = "alice")
{
    return "/var/lib/kelvora/users/" + user + "/" + rel;
}

inline std::string box(const char *dir, int64_t n, const std::string &suffix = "",
                       const std::string &user = "alice")
{
    return box(std::string(dir) + "/" + std::to_string(n) + suffix, user);
}

// Runs the installed kelv as root with args; its result, whatever it is.
inline run_result kelv(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {"kelv"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

// kelv send ARGS as root; the number of the message it sent. Throws when the
// send fails or says something else than the one line of success.
inline int64_t send_message(const std::vector<std::string> &args)
{
    std::vector<std::string> full = {"send"};
    full.insert(full.end(), args.begin(), args.end());
    run_result r = kelv(full);
    long long n = 0;
    char tail[64] = "";
    if (r.status != 0 || sscanf(r.out.c_str(), "Message %lld sent to %63[^\n]", &n, tail) != 2 ||
        n <= 0)
        throw std::runtime_error("kelv send failed (" + std::to_string(r.status) + "): " + r.out +
                                 r.err);
    return n;
}

// Revokes message n with kelv revoke; where this build has no such command,
// removes the copy from alice's inbox as the revocation would.
inline void revoke_message(int64_t n)
{
    run_result r = kelv({"revoke", std::to_string(n)});
    if (r.status == 0)
        return;
    if (r.err.find("unknown command") == std::string::npos &&
        r.err.find("not available") == std::string::npos)
        throw std::runtime_error("kelv revoke failed: " + r.err);
    std::string copy = box("inbox", n);
    if (unlink(copy.c_str()) < 0)
        throw std::runtime_error("cannot remove " + copy + ": " + strerror(errno));
}

// Writes the helper's configuration file; 0 leaves a setting out.
inline void configure(int remind_minutes, int agent_poll = 0)
{
    std::string text = "# written by the test\n";
    if (remind_minutes)
        text += "KELV_REMIND_MINUTES=" + std::to_string(remind_minutes) + "\n";
    if (agent_poll)
        text += "KELV_AGENT_POLL=" + std::to_string(agent_poll) + "\n";
    write_text(conf_file, text, 0644);
}

// Dates a file's access and modification times seconds_ago into the past.
inline void age(const std::string &path, int64_t seconds_ago)
{
    time_t t = time(nullptr) - static_cast<time_t>(seconds_ago);
    struct timeval tv[2] = {{t, 0}, {t, 0}};
    if (utimes(path.c_str(), tv) < 0)
        throw std::runtime_error("utimes " + path + ": " + strerror(errno));
}

inline int64_t mtime_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? int64_t(st.st_mtime) : -1;
}

// The send date of message n as the banners show it ("%d/%m %H:%M", local
// time), read from the reference copy.
inline std::string send_date(int64_t n)
{
    std::string msg = read_text("/var/lib/kelvora/sent/" + std::to_string(n) + "/msg");
    size_t at = msg.find("\ndate: ");
    if (at == std::string::npos)
        throw std::runtime_error("message " + std::to_string(n) + " has no date");
    time_t t = static_cast<time_t>(std::stoll(msg.substr(at + 7)));
    struct tm tm;
    char out[32];
    localtime_r(&t, &tm);
    strftime(out, sizeof out, "%d/%m %H:%M", &tm);
    return out;
}

// Every newline as a terminal in its usual mode shows it.
inline std::string crlf(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

// The environment the helper needs on top of run_as's: the test's own time
// zone, so that both format dates alike.
inline std::vector<std::string> user_env(std::vector<std::string> extra = {})
{
    if (const char *tz = getenv("TZ"))
        extra.push_back(std::string("TZ=") + tz);
    return extra;
}

// Runs argvs[i] as user, each in its own child, released at the same
// instant: every child has taken the user's identity and blocks on one pipe
// before the last of them is even forked, and closing the pipe starts them
// all. Their output goes to /dev/null; returns their exit statuses (128 +
// signal for a signal).
inline std::vector<int> run_together(const std::string &user,
                                     const std::vector<std::vector<std::string>> &argvs,
                                     const std::vector<std::string> &env)
{
    struct passwd *pw = getpwnam(user.c_str());
    if (!pw)
        throw std::runtime_error("no such user: " + user);
    uid_t uid = pw->pw_uid;
    gid_t gid = pw->pw_gid;
    std::string home = pw->pw_dir;
    std::vector<gid_t> groups(64);
    int ngroups = static_cast<int>(groups.size());
    if (getgrouplist(user.c_str(), gid, groups.data(), &ngroups) < 0)
        throw std::runtime_error("getgrouplist " + user);
    groups.resize(static_cast<size_t>(ngroups));
    std::vector<std::string> envs = {"HOME=" + home, "USER=" + user, "LOGNAME=" + user,
                                     "PATH=/run/e2e/bin:/usr/local/bin:/usr/bin:/bin",
                                     "XDG_RUNTIME_DIR=/run/user/" + std::to_string(uid)};
    envs.insert(envs.end(), env.begin(), env.end());
    std::vector<char *> envp;
    for (std::string &e : envs)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::vector<char *>> args;
    for (const std::vector<std::string> &argv : argvs) {
        args.emplace_back();
        for (const std::string &a : argv)
            args.back().push_back(const_cast<char *>(a.c_str()));
        args.back().push_back(nullptr);
    }

    int gate[2];
    if (pipe2(gate, O_CLOEXEC) < 0)
        throw std::runtime_error("pipe");
    std::vector<pid_t> pids;
    fflush(nullptr);
    for (std::vector<char *> &a : args) {
        pid_t pid = fork();
        if (pid < 0)
            break;
        if (pid == 0) {
            close(gate[1]);
            int null = open("/dev/null", O_RDWR | O_CLOEXEC);
            if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0 ||
                setgroups(groups.size(), groups.data()) < 0 || setresgid(gid, gid, gid) < 0 ||
                setresuid(uid, uid, uid) < 0 || setuid(0) == 0 || chdir("/") < 0)
                _exit(125);
            char byte;
            while (read(gate[0], &byte, 1) < 0 && errno == EINTR) {
            }
            execve(a[0], a.data(), envp.data());
            _exit(127);
        }
        pids.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]); // the start signal
    std::vector<int> statuses;
    for (pid_t pid : pids) {
        int st = 0;
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        statuses.push_back(WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st));
    }
    if (pids.size() != args.size())
        throw std::runtime_error("fork failed");
    return statuses;
}

// Base of the helper's real-system tests: each starts from an empty store,
// no configuration file and the default intervals, and sees the events
// logged from its start on only (message numbers start again at 1 in every
// test, the journal does not).
class helper_test : public system_test {
  protected:
    int64_t started_usec = 0;

    void SetUp() override
    {
        system_test::SetUp();
        if (IsSkipped())
            return;
        if (unlink(conf_file.c_str()) < 0 && errno != ENOENT)
            throw std::runtime_error("cannot remove " + conf_file);
        started_usec = realtime_usec();
    }

    // The events of kind for message n (0: any message) logged since the
    // test began, in journal order.
    std::vector<journal_entry> events(const std::string &kind, int64_t n = 0) const
    {
        std::vector<std::string> matches = {"SYSLOG_IDENTIFIER=kelv", "KELV_EVENT=" + kind};
        if (n)
            matches.push_back("KELV_MESSAGE=" + std::to_string(n));
        std::vector<journal_entry> all = journal_read(matches);
        std::vector<journal_entry> out;
        for (journal_entry &e : all)
            if (int64_t(e.realtime_usec) >= started_usec)
                out.push_back(std::move(e));
        return out;
    }
};

} // namespace helper_system
