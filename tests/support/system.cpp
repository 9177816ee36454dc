// Helpers for the real-system tests. Every descriptor is close-on-exec,
// every child is reaped, and a forked child only makes system calls on its
// way to execve: the preparation happens in the parent.
#include "system.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <linux/fuse.h>
#include <memory>
#include <poll.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-journal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <utility>

namespace {

const char user_path[] = "PATH=/run/e2e/bin:/usr/local/bin:/usr/bin:/bin";
const char sessions_dir[] = "/run/systemd/sessions";
const char log_dir[] = "/run/e2e/log";
const char xvfb_pid_file[] = "/run/e2e/xvfb.pid";
const char xvfb_display_file[] = "/run/e2e/xvfb.display";

[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error(what + ": " + strerror(errno));
}

void require_env(const char *what)
{
    if (!in_system_env())
        throw std::logic_error(std::string(what) +
                               " works only inside the real-system test environment");
}

int64_t now_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

struct account {
    std::string name;
    std::string home;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups; // as initgroups would set them
};

account account_lookup(const std::string &user)
{
    struct passwd pw, *found = nullptr;
    std::vector<char> buf(16384);
    if (getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &found) != 0 || !found)
        throw std::runtime_error("no such user: " + user);
    account a;
    a.name = pw.pw_name;
    a.home = pw.pw_dir;
    a.uid = pw.pw_uid;
    a.gid = pw.pw_gid;
    int n = 64;
    for (;;) {
        a.groups.resize(static_cast<size_t>(n));
        int want = n;
        if (getgrouplist(a.name.c_str(), a.gid, a.groups.data(), &want) >= 0) {
            a.groups.resize(static_cast<size_t>(want));
            return a;
        }
        if (want <= n)
            throw std::runtime_error("getgrouplist " + user);
        n = want;
    }
}

// The clean environment of a user's process, then extra ("NAME=value" sets,
// "NAME" removes).
std::vector<std::string> user_environment(const account &a, const std::vector<std::string> &extra)
{
    std::vector<std::string> env = {"HOME=" + a.home, "USER=" + a.name, "LOGNAME=" + a.name,
                                    user_path,
                                    "XDG_RUNTIME_DIR=/run/user/" + std::to_string(a.uid)};
    for (const std::string &e : extra) {
        std::string name = e.substr(0, e.find('='));
        std::erase_if(env, [&](const std::string &v) {
            return v.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (e.find('=') != std::string::npos)
            env.push_back(e);
    }
    return env;
}

std::string start_directory(const account &a)
{
    struct stat st;
    return stat(a.home.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? a.home : "/";
}

// The path execve needs for argv0 along the PATH of env.
std::string find_program(const std::string &argv0, const std::vector<std::string> &env)
{
    if (argv0.find('/') != std::string::npos)
        return argv0;
    std::string path;
    for (const std::string &e : env)
        if (e.starts_with("PATH="))
            path = e.substr(5);
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos)
            end = path.size();
        std::string candidate = path.substr(start, end - start) + "/" + argv0;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111))
            return candidate;
        start = end + 1;
    }
    throw std::runtime_error(argv0 + ": not found along " + path);
}

std::vector<char *> c_strings(const std::vector<std::string> &v)
{
    std::vector<char *> out;
    for (const std::string &s : v)
        out.push_back(const_cast<char *>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

// Empties dir, keeping the entries named in keep.
void remove_contents(const std::string &dir, const std::vector<std::string> &keep = {})
{
    for (const std::string &name : list_dir(dir)) {
        if (std::find(keep.begin(), keep.end(), name) != keep.end())
            continue;
        std::error_code ec;
        std::filesystem::remove_all(dir + "/" + name, ec);
        if (ec)
            throw std::runtime_error("cannot remove " + dir + "/" + name + ": " + ec.message());
    }
}

// The state letter of /proc/PID/stat ('Z' for a zombie), or 0 when the
// process is gone.
char process_state(pid_t pid)
{
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : 0;
}

// The pids of the processes whose real or effective uid is not root.
// The processes a test may have left behind: those of non-root users, and
// processes detached from their parent (adopted by the namespace's first
// process), such as a desktop agent that the systemd-run stand-in was still
// starting as root when the test ended. The environment's own daemons and
// this test program stay.
std::vector<pid_t> user_processes()
{
    std::vector<pid_t> pids;
    for (const std::string &name : list_dir("/proc")) {
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        pid_t pid = static_cast<pid_t>(std::stol(name));
        std::string status = read_text("/proc/" + name + "/status");
        size_t at = status.find("\nUid:");
        size_t pp = status.find("\nPPid:");
        unsigned long real = 0, effective = 0;
        long parent = 0;
        if (at == std::string::npos || pp == std::string::npos ||
            sscanf(status.c_str() + at, "\nUid: %lu %lu", &real, &effective) != 2 ||
            sscanf(status.c_str() + pp, "\nPPid: %ld", &parent) != 1)
            continue;
        std::string comm = read_text("/proc/" + name + "/comm");
        bool daemon = comm == "systemd-journal\n" || comm == "Xvfb\n";
        bool detached = parent == 1 && pid != getpid() && pid != getppid() && !daemon;
        if ((real != 0 || effective != 0 || detached) && process_state(pid) != 'Z')
            pids.push_back(pid);
    }
    return pids;
}

// Ends every process of a non-root user; they may fork meanwhile, hence the
// rounds.
void kill_user_processes()
{
    int64_t deadline = now_ms() + 5000;
    for (;;) {
        std::vector<pid_t> pids = user_processes();
        if (pids.empty())
            return;
        if (now_ms() > deadline)
            throw std::runtime_error("user processes survive SIGKILL");
        for (pid_t pid : pids)
            kill(pid, SIGKILL);
        usleep(10000);
    }
}

// A new pty master (non-blocking) whose slave belongs to uid, group tty,
// mode 0620, as login leaves a terminal.
int open_master_for(uid_t uid, std::string &slave_path)
{
    int master = open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master < 0)
        fail("/dev/ptmx");
    int number = 0, unlock = 0;
    if (ioctl(master, TIOCSPTLCK, &unlock) < 0 || ioctl(master, TIOCGPTN, &number) < 0) {
        close(master);
        fail("pty ioctl");
    }
    slave_path = "/dev/pts/" + std::to_string(number);
    struct group *tty = getgrnam("tty");
    gid_t tty_gid = tty ? tty->gr_gid : 5;
    struct winsize ws = {};
    ws.ws_row = 24;
    ws.ws_col = 80;
    if (chown(slave_path.c_str(), uid, tty_gid) < 0 || chmod(slave_path.c_str(), 0620) < 0 ||
        ioctl(master, TIOCSWINSZ, &ws) < 0) {
        close(master);
        fail(slave_path);
    }
    return master;
}

// Appends what arrives on master within wait_ms. Once no slave is open the
// master reports a hangup at once: then it just waits, as a later writer
// may still open the slave.
void pty_read_some(int master, std::string &out, int wait_ms)
{
    struct pollfd p = {master, POLLIN, 0};
    int ready = poll(&p, 1, std::max(wait_ms, 0));
    if (ready <= 0)
        return;
    char buf[4096];
    ssize_t got = read(master, buf, sizeof buf);
    if (got > 0)
        out.append(buf, static_cast<size_t>(got));
    else if (got < 0 && errno == EIO && wait_ms > 0)
        usleep(static_cast<useconds_t>(std::min(wait_ms, 10)) * 1000);
}

void pty_write(int master, const std::string &bytes)
{
    size_t done = 0;
    int64_t deadline = now_ms() + 5000;
    while (done < bytes.size()) {
        ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            fail("write to pty");
        if (now_ms() > deadline)
            throw std::runtime_error("write to pty: nobody reads");
        struct pollfd p = {master, POLLOUT, 0};
        poll(&p, 1, 50);
    }
}

void close_fd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Kills the process and its group (the process leads both) and reaps it.
void kill_and_reap(pid_t &pid)
{
    if (pid <= 0)
        return;
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
}

bool x_socket_ready(int display)
{
    return exists("/tmp/.X11-unix/X" + std::to_string(display));
}

// An X display number nobody on this machine uses: the abstract socket of a
// display lives in the network namespace, which is shared with the host.
bool x_display_free(int display)
{
    std::string name = "@/tmp/.X11-unix/X" + std::to_string(display);
    std::string sockets = read_text("/proc/net/unix");
    size_t at = 0;
    while ((at = sockets.find(name, at)) != std::string::npos) {
        at += name.size();
        if (at == sockets.size() || sockets[at] == '\n')
            return false;
    }
    return !x_socket_ready(display) && !exists("/tmp/.X" + std::to_string(display) + "-lock");
}

// Starts Xvfb on display as a grandchild, so that the environment's first
// process adopts it and this process has no child left to reap; returns its
// pid.
pid_t spawn_xvfb(int display)
{
    std::string name = ":" + std::to_string(display);
    std::vector<std::string> argv = {"/usr/bin/Xvfb", name,        "-screen", "0",
                                     "1024x768x24",   "-nolisten", "tcp"};
    std::vector<char *> args = c_strings(argv);
    std::string log = std::string(log_dir) + "/xvfb.log";
    int report[2];
    if (pipe2(report, O_CLOEXEC) < 0)
        fail("pipe");
    fflush(nullptr);
    pid_t middle = fork();
    if (middle < 0)
        fail("fork");
    if (middle == 0) {
        setsid();
        pid_t x = fork();
        if (x == 0) {
            int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
            int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)
                _exit(126);
            execv(args[0], args.data());
            _exit(127);
        }
        ssize_t ignored = ::write(report[1], &x, sizeof x);
        (void)ignored;
        _exit(x < 0 ? 1 : 0);
    }
    close(report[1]);
    pid_t x = -1;
    ssize_t got = read(report[0], &x, sizeof x);
    close(report[0]);
    int st;
    while (waitpid(middle, &st, 0) < 0 && errno == EINTR) {
    }
    if (got != sizeof x || x <= 0)
        throw std::runtime_error("cannot start Xvfb");
    return x;
}

} // namespace

bool in_system_env()
{
    const char *v = getenv("KELV_SYSTEM_ENV");
    return v && std::string(v) == "1" && exists("/run/e2e/environment");
}

void system_reset()
{
    require_env("system_reset");
    kill_user_processes();
    remove_contents("/var/lib/kelvora");
    remove_contents(sessions_dir);
    for (const std::string &uid : list_dir("/run/user"))
        remove_contents("/run/user/" + uid);
    remove_contents(log_dir, {"journald.log", "xvfb.log"});
    if (chmod(log_dir, 0777) < 0)
        fail(log_dir);
}

run_result run_as(const std::string &user, const std::vector<std::string> &argv, run_options opt)
{
    require_env("run_as");
    account a = account_lookup(user);
    opt.uid = a.uid;
    opt.gid = a.gid;
    opt.groups = a.groups;
    opt.clean_env = true;
    opt.env = user_environment(a, opt.env);
    if (opt.cwd.empty())
        opt.cwd = start_directory(a);
    return run_program(argv, opt);
}

void session_write(const std::string &id, const std::vector<std::string> &fields)
{
    require_env("session_write");
    std::string text;
    for (const std::string &f : fields)
        text += f + "\n";
    // Replaced in one rename, as logind does: readers never see half a file.
    std::string path = std::string(sessions_dir) + "/" + id;
    std::string temp = std::string(sessions_dir) + "/.#" + id;
    write_text(temp, text, 0644);
    if (rename(temp.c_str(), path.c_str()) < 0)
        fail(path);
}

void session_remove(const std::string &id)
{
    require_env("session_remove");
    std::string path = std::string(sessions_dir) + "/" + id;
    if (unlink(path.c_str()) < 0 && errno != ENOENT)
        fail(path);
}

// ---------------------------------------------------------------------------

test_pty::test_pty(test_pty &&other) noexcept
    : master(std::exchange(other.master, -1)), slave_path(std::move(other.slave_path)),
      slave(std::exchange(other.slave, -1))
{
}

test_pty &test_pty::operator=(test_pty &&other) noexcept
{
    if (this != &other) {
        close_fd(slave);
        close_fd(master);
        master = std::exchange(other.master, -1);
        slave_path = std::move(other.slave_path);
        slave = std::exchange(other.slave, -1);
    }
    return *this;
}

test_pty::~test_pty()
{
    close_fd(slave);
    close_fd(master);
}

std::string test_pty::read_available(int timeout_ms)
{
    std::string out;
    int64_t deadline = now_ms() + timeout_ms;
    for (int64_t left; (left = deadline - now_ms()) > 0;)
        pty_read_some(master, out, static_cast<int>(left));
    pty_read_some(master, out, 0);
    return out;
}

std::string test_pty::read_until(const std::string &text, int timeout_ms)
{
    std::string out;
    int64_t deadline = now_ms() + timeout_ms;
    for (int64_t left; out.find(text) == std::string::npos && (left = deadline - now_ms()) > 0;)
        pty_read_some(master, out, static_cast<int>(left));
    return out;
}

void test_pty::write(const std::string &bytes)
{
    pty_write(master, bytes);
}

test_pty open_pty_for(const std::string &user)
{
    require_env("open_pty_for");
    account a = account_lookup(user);
    test_pty t;
    t.master = open_master_for(a.uid, t.slave_path);
    t.slave = open(t.slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (t.slave < 0)
        fail(t.slave_path);
    return t;
}

// ---------------------------------------------------------------------------

pty_process::pty_process(pty_process &&other) noexcept
    : pid(std::exchange(other.pid, -1)), master(std::exchange(other.master, -1)),
      tty(std::move(other.tty)), output(std::move(other.output))
{
}

pty_process &pty_process::operator=(pty_process &&other) noexcept
{
    if (this != &other) {
        kill_and_reap(pid);
        close_fd(master);
        pid = std::exchange(other.pid, -1);
        master = std::exchange(other.master, -1);
        tty = std::move(other.tty);
        output = std::move(other.output);
    }
    return *this;
}

pty_process::~pty_process()
{
    kill_and_reap(pid);
    close_fd(master);
}

bool pty_process::wait_for(const std::string &text, int timeout_ms)
{
    int64_t deadline = now_ms() + timeout_ms;
    for (int64_t left; output.find(text) == std::string::npos;) {
        if ((left = deadline - now_ms()) <= 0)
            return false;
        pty_read_some(master, output, static_cast<int>(left));
    }
    return true;
}

void pty_process::send(const std::string &bytes)
{
    pty_write(master, bytes);
}

int pty_process::wait_exit(int timeout_ms)
{
    if (pid <= 0)
        throw std::logic_error("wait_exit: no process");
    int64_t deadline = now_ms() + timeout_ms;
    int st = 0;
    for (;;) {
        pid_t done = waitpid(pid, &st, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR)
            fail("waitpid");
        int64_t left = deadline - now_ms();
        if (left <= 0) {
            kill_and_reap(pid);
            return -1;
        }
        pty_read_some(master, output, static_cast<int>(std::min<int64_t>(left, 20)));
    }
    pid = -1;
    // What the process wrote before it ended: until the hangup, or a quiet
    // moment when something it started still holds the terminal.
    for (;;) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            break;
        char buf[4096];
        ssize_t got = read(master, buf, sizeof buf);
        if (got > 0)
            output.append(buf, static_cast<size_t>(got));
        else if (got == 0 || errno != EINTR)
            break;
    }
    return decode_status(st);
}

pty_process spawn_on_pty(const std::string &user, const std::vector<std::string> &argv,
                         const std::vector<std::string> &env)
{
    require_env("spawn_on_pty");
    if (argv.empty())
        throw std::logic_error("spawn_on_pty: empty argv");
    account a = account_lookup(user);
    std::vector<std::string> environment = user_environment(a, env);
    std::string program = find_program(argv[0], environment);
    std::string cwd = start_directory(a);
    std::vector<char *> args = c_strings(argv);
    std::vector<char *> envp = c_strings(environment);

    pty_process p;
    p.master = open_master_for(a.uid, p.tty);
    fflush(nullptr);
    p.pid = fork();
    if (p.pid < 0)
        fail("fork");
    if (p.pid == 0) {
        // A session leader without a terminal acquires the first one it
        // opens without O_NOCTTY.
        if (setsid() < 0)
            _exit(126);
        int slave = open(p.tty.c_str(), O_RDWR);
        if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) < 0 || dup2(slave, 0) < 0 ||
            dup2(slave, 1) < 0 || dup2(slave, 2) < 0)
            _exit(126);
        if (slave > 2)
            close(slave);
        if (setgroups(a.groups.size(), a.groups.data()) < 0 || setresgid(a.gid, a.gid, a.gid) < 0 ||
            setresuid(a.uid, a.uid, a.uid) < 0)
            _exit(126);
        uid_t r, e, s;
        if (getresuid(&r, &e, &s) < 0 || r != a.uid || e != a.uid || s != a.uid ||
            (a.uid != 0 && setuid(0) == 0))
            _exit(126);
        if (chdir(cwd.c_str()) < 0)
            _exit(126);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig :
             {SIGPIPE, SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGTSTP, SIGTTIN, SIGTTOU, SIGCHLD})
            signal(sig, SIG_DFL);
        execve(program.c_str(), args.data(), envp.data());
        _exit(127);
    }
    return p;
}

namespace {

// A forked child of user's that runs fn, then ends.
pid_t fork_as(const std::string &user, const std::function<void()> &fn)
{
    account a = account_lookup(user);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0) {
        if (setgroups(a.groups.size(), a.groups.data()) < 0 || setresgid(a.gid, a.gid, a.gid) < 0 ||
            setresuid(a.uid, a.uid, a.uid) < 0 || prctl(PR_SET_PDEATHSIG, SIGKILL) < 0)
            _exit(126);
        fn();
        _exit(0);
    }
    return pid;
}

} // namespace

user_loop::user_loop(const std::string &user, const std::function<void()> &body)
{
    require_env("user_loop");
    pid = fork_as(user, [&] {
        for (;;)
            body();
    });
}

int run_function_as(const std::string &user, const std::function<void()> &fn)
{
    require_env("run_function_as");
    pid_t pid = fork_as(user, fn);
    int status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            fail("waitpid");
    return decode_status(status);
}

user_loop::~user_loop()
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

// ---------------------------------------------------------------------------

std::string journal_entry::get(const std::string &field) const
{
    auto it = fields.find(field);
    return it == fields.end() ? "" : it->second;
}

std::vector<journal_entry> journal_read(const std::vector<std::string> &matches)
{
    require_env("journal_read");
    run_result sync = run_program({"journalctl", "--sync"});
    if (sync.status != 0)
        throw std::runtime_error("journalctl --sync: " + sync.err);

    sd_journal *raw = nullptr;
    int r = sd_journal_open(&raw, 0);
    if (r < 0) {
        errno = -r;
        fail("sd_journal_open");
    }
    std::unique_ptr<sd_journal, decltype(&sd_journal_close)> j(raw, sd_journal_close);
    sd_journal_set_data_threshold(j.get(), 0);
    for (const std::string &m : matches) {
        if (m.find('=') == std::string::npos)
            throw std::logic_error("journal_read: match without '=': " + m);
        if ((r = sd_journal_add_match(j.get(), m.data(), m.size())) < 0) {
            errno = -r;
            fail("sd_journal_add_match " + m);
        }
    }

    std::vector<journal_entry> entries;
    while ((r = sd_journal_next(j.get())) > 0) {
        journal_entry e;
        const void *data;
        size_t len;
        sd_journal_restart_data(j.get());
        while (sd_journal_enumerate_data(j.get(), &data, &len) > 0) {
            std::string field(static_cast<const char *>(data), len);
            size_t eq = field.find('=');
            if (eq != std::string::npos)
                e.fields[field.substr(0, eq)] = field.substr(eq + 1);
        }
        sd_journal_get_realtime_usec(j.get(), &e.realtime_usec);
        // sd-journal ORs matches on the same field; these must all hold.
        bool all = std::all_of(matches.begin(), matches.end(), [&](const std::string &m) {
            size_t eq = m.find('=');
            auto it = e.fields.find(m.substr(0, eq));
            return it != e.fields.end() && it->second == m.substr(eq + 1);
        });
        if (all)
            entries.push_back(std::move(e));
    }
    if (r < 0) {
        errno = -r;
        fail("sd_journal_next");
    }
    return entries;
}

// ---------------------------------------------------------------------------

std::string start_xvfb()
{
    require_env("start_xvfb");
    std::string known = read_text(xvfb_display_file);
    if (!known.empty() && x_socket_ready(std::stoi(known.substr(1))))
        return known;
    // :99 first, where the systemd-run stand-in points agents by default.
    for (int i = 0; i < 100; i++) {
        int display = i == 0 ? 99 : 89 + i;
        if (!x_display_free(display))
            continue;
        pid_t x = spawn_xvfb(display);
        int64_t deadline = now_ms() + 10000;
        while (!x_socket_ready(display) && now_ms() < deadline) {
            char state = process_state(x);
            if (state == 0 || state == 'Z')
                break; // lost the display to someone else: try the next one
            usleep(20000);
        }
        if (!x_socket_ready(display)) {
            kill(x, SIGKILL);
            continue;
        }
        std::string name = ":" + std::to_string(display);
        write_text(xvfb_pid_file, std::to_string(x) + "\n");
        write_text(xvfb_display_file, name);
        return name;
    }
    throw std::runtime_error("cannot start Xvfb on any display from :90 to :188 (see " +
                             std::string(log_dir) + "/xvfb.log)");
}

void system_test::SetUp()
{
    if (!in_system_env())
        GTEST_SKIP() << "needs the real-system test environment (tests/system/enter-namespace)";
    system_reset();
}

test_pty open_stopped_pty_for(const std::string &user)
{
    test_pty p = open_pty_for(user);
    // Output suspended as by Ctrl-S, and what the terminal can buffer filled,
    // so that nothing more goes in.
    if (tcflow(p.slave, TCOOFF) < 0)
        throw std::runtime_error("tcflow");
    int fd = open(p.slave_path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    std::string filler(4096, 'f');
    while (write(fd, filler.data(), filler.size()) > 0) {
    }
    close(fd);
    return p;
}

int64_t fresh_message_numbers()
{
    static int64_t runs = 0;
    int64_t first = 100000 + 1000 * ++runs;
    mkdir("/var/lib/kelvora/sent", 0700);
    write_text("/var/lib/kelvora/sent/.seq", std::to_string(first - 1) + "\n", 0600);
    return first;
}

run_options traced_options()
{
    run_options o;
    o.env = {"ASAN_OPTIONS=detect_leaks=0"};
    return o;
}

// ---------------------------------------------------------------------------

hanging_fs::hanging_fs(hanging_fs &&other) noexcept
    : server(std::exchange(other.server, -1)), path(std::move(other.path))
{
}

hanging_fs::~hanging_fs()
{
    if (server > 0) {
        // With the server gone the kernel aborts the connection: every
        // request fails and its sleeper wakes up.
        kill(server, SIGKILL);
        while (waitpid(server, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (!path.empty())
        umount2(path.c_str(), MNT_DETACH);
}

hanging_fs mount_hanging_fs(const std::string &path, const std::string &user)
{
    require_env("mount_hanging_fs");
    account a = account_lookup(user);
    int report[2];
    if (pipe2(report, O_CLOEXEC) < 0)
        fail("pipe");
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0) {
        close(report[0]);
        struct stat st;
        int dev = open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (dev < 0 || stat(path.c_str(), &st) < 0)
            _exit(1);
        char options[128];
        snprintf(options, sizeof options, "fd=%d,rootmode=%o,user_id=%u,group_id=%u", dev,
                 S_ISDIR(st.st_mode) ? S_IFDIR : S_IFREG, a.uid, a.gid);
        if (mount("hanging", path.c_str(), "fuse.hanging", MS_NOSUID | MS_NODEV, options) < 0)
            _exit(2);
        if (setgroups(0, nullptr) < 0 || setresgid(a.gid, a.gid, a.gid) < 0 || setresuid(a.uid, a.uid, a.uid) < 0)
            _exit(3);
        if (write(report[1], "ok", 2) != 2)
            _exit(4);
        close(report[1]);
        // The connection is accepted, so that requests reach the server ...
        static char buf[FUSE_MIN_READ_BUFFER + (1 << 17)];
        ssize_t got = read(dev, buf, sizeof buf);
        const fuse_in_header *in = reinterpret_cast<const fuse_in_header *>(buf);
        if (got < static_cast<ssize_t>(sizeof *in) || in->opcode != FUSE_INIT)
            _exit(5);
        struct {
            fuse_out_header head;
            fuse_init_out init;
        } reply = {};
        reply.head.len = sizeof reply;
        reply.head.unique = in->unique;
        reply.init.major = FUSE_KERNEL_VERSION;
        reply.init.minor = 31;
        reply.init.max_write = 4096;
        reply.init.max_background = 16;
        reply.init.congestion_threshold = 12;
        if (write(dev, &reply, sizeof reply) != sizeof reply)
            _exit(6);
        // ... and taken from the queue, so that a killed caller may not leave
        // them: each one waits for an answer that never comes.
        for (;;)
            if (read(dev, buf, sizeof buf) < 0 && errno != EINTR && errno != EAGAIN)
                _exit(7);
    }
    close(report[1]);
    char ok[2] = {};
    ssize_t got = read(report[0], ok, sizeof ok);
    close(report[0]);
    if (got != 2) {
        int st = 0;
        waitpid(pid, &st, 0);
        throw std::runtime_error("cannot mount a FUSE file system on " + path + " (server status " +
                                 std::to_string(decode_status(st)) + ")");
    }
    hanging_fs fs;
    fs.server = pid;
    fs.path = path;
    return fs;
}

// ---------------------------------------------------------------------------

std::vector<std::string> screen_of(const std::vector<std::string> &argv, int cols, int rows,
                                   const std::vector<std::string> &env)
{
    require_env("screen_of");
    // The command as a shell script: each word quoted, nothing interpreted.
    std::string script = "exec env";
    for (const std::vector<std::string> *words : {&env, &argv})
        for (const std::string &w : *words) {
            std::string quoted = "'";
            for (char c : w)
                quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
            script += " " + quoted + "'";
        }
    const std::string file = "/run/e2e/screen.sh", done = "/run/e2e/screen.done";
    write_text(file, script + "\n", 0755);
    unlink(done.c_str());
    std::vector<std::string> tmux = {"tmux", "-L", "kelv-screen", "-f", "/dev/null"};
    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> all = tmux;
        all.insert(all.end(), more.begin(), more.end());
        return all;
    };
    run_program(with({"kill-server"}));
    run_result r = run_program(with({"new-session", "-d", "-x", std::to_string(cols), "-y", std::to_string(rows),
                                     "sh " + file + "; touch " + done + "; exec sleep 60"}));
    if (r.status != 0)
        throw std::runtime_error("tmux: " + r.err);
    for (int i = 0; i < 1000 && !exists(done); i++)
        usleep(20000);
    std::string shown = run_program(with({"capture-pane", "-p", "-t", "0"})).out;
    run_program(with({"kill-server"}));
    if (!exists(done))
        throw std::runtime_error("the command in tmux did not end: " + shown);
    std::vector<std::string> lines;
    for (size_t p = 0; p < shown.size();) {
        size_t nl = shown.find('\n', p);
        std::string line = shown.substr(p, nl == std::string::npos ? std::string::npos : nl - p);
        line.erase(line.find_last_not_of(' ') + 1);
        lines.push_back(line);
        p = nl == std::string::npos ? shown.size() : nl + 1;
    }
    return lines;
}
