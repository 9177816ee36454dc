#include "support.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <locale.h>
#include <poll.h>
#include <signal.h>
#include <wchar.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <algorithm>

extern char **environ;

int decode_status(int st)
{
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return -1;
}

namespace {

// Feeds input, drains both pipes, reaps pid; kills it after the timeout.
run_result collect(pid_t pid, int in_fd, int out_fd, int err_fd, const std::string &input,
                   int timeout_seconds)
{
    run_result r;
    size_t written = 0;
    // A program may end without reading its input: the write must fail with
    // EPIPE instead of killing the test.
    struct sigaction ignore = {}, saved;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &saved);
    if (in_fd >= 0 && input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    if (in_fd >= 0)
        fcntl(in_fd, F_SETFL, O_NONBLOCK);
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (out_fd >= 0 || err_fd >= 0) {
        struct timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        if (t.tv_sec - start.tv_sec > timeout_seconds) {
            kill(pid, SIGKILL);
            break;
        }
        struct pollfd p[3];
        int n = 0;
        int io = -1, oo = -1, eo = -1;
        if (in_fd >= 0) {
            io = n;
            p[n++] = {in_fd, POLLOUT, 0};
        }
        if (out_fd >= 0) {
            oo = n;
            p[n++] = {out_fd, POLLIN, 0};
        }
        if (err_fd >= 0) {
            eo = n;
            p[n++] = {err_fd, POLLIN, 0};
        }
        if (poll(p, n, 200) < 0 && errno != EINTR)
            break;
        if (io >= 0 && p[io].revents) {
            ssize_t w = write(in_fd, input.data() + written, input.size() - written);
            if (w > 0)
                written += static_cast<size_t>(w);
            if (w < 0 && errno != EAGAIN && errno != EINTR)
                written = input.size();
            if (written == input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
        for (auto [idx, fd, dst] : {std::tuple{oo, &out_fd, &r.out}, std::tuple{eo, &err_fd, &r.err}}) {
            if (idx < 0 || !p[idx].revents)
                continue;
            char buf[8192];
            ssize_t got = read(*fd, buf, sizeof buf);
            if (got > 0) {
                dst->append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(*fd);
                *fd = -1;
            }
        }
    }
    for (int fd : {in_fd, out_fd, err_fd})
        if (fd >= 0)
            close(fd);
    sigaction(SIGPIPE, &saved, nullptr);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.status = decode_status(st);
    return r;
}

} // namespace

run_result run_program(const std::vector<std::string> &argv, const run_options &opt)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe");
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(opt.has_input ? in[0] : open("/dev/null", O_RDONLY), 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (opt.clean_env)
            clearenv();
        for (const std::string &e : opt.env) {
            size_t eq = e.find('=');
            if (eq == std::string::npos)
                unsetenv(e.c_str());
            else
                setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
        }
        if (opt.uid != static_cast<uid_t>(-1)) {
            gid_t g = opt.gid;
            const gid_t *list = opt.groups.empty() ? &g : opt.groups.data();
            size_t count = opt.groups.empty() ? 1 : opt.groups.size();
            if (setgroups(count, list) || setresgid(g, g, g) || setresuid(opt.uid, opt.uid, opt.uid))
                _exit(125);
            // Prove the drop before running anything: all three ids are the
            // target's and root cannot be regained.
            uid_t r, e, s;
            gid_t rg, eg, sg;
            if (getresuid(&r, &e, &s) || r != opt.uid || e != opt.uid || s != opt.uid ||
                getresgid(&rg, &eg, &sg) || rg != g || eg != g || sg != g ||
                (opt.uid != 0 && setuid(0) == 0))
                _exit(125);
        }
        if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) < 0)
            _exit(125);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        signal(SIGPIPE, SIG_DFL);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (!opt.has_input) {
        close(in[1]);
        in[1] = -1;
    }
    return collect(pid, in[1], out[0], err[0], opt.input, opt.timeout_seconds);
}

run_result run_in_child(const std::function<void()> &fn)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe");
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        fn();
        fflush(nullptr);
        _exit(0);
    }
    close(out[1]);
    close(err[1]);
    return collect(pid, -1, out[0], err[0], "", 60);
}

temp_dir::temp_dir()
{
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kelvora-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp");
    path = buf.data();
    chmod(path.c_str(), 0755);
}

temp_dir::~temp_dir()
{
    run_program({"rm", "-rf", "--", path});
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> out;
    for (size_t p = 0; p < text.size();) {
        size_t nl = text.find('\n', p);
        out.push_back(text.substr(p, nl - p));
        p = nl == std::string::npos ? text.size() : nl + 1;
    }
    return out;
}

void write_text(const std::string &path, const std::string &content, mode_t mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        throw std::runtime_error("open " + path + ": " + strerror(errno));
    if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        throw std::runtime_error("write " + path);
    fchmod(fd, mode);
    close(fd);
}

std::string read_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string &path)
{
    std::vector<std::string> names;
    DIR *d = opendir(path.c_str());
    if (!d)
        return names;
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
            names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> lines(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

size_t columns(const std::string &text)
{
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    locale_t before = uselocale(utf8);
    std::wstring wide(text.size() + 1, L'\0');
    size_t n = mbstowcs(wide.data(), text.c_str(), wide.size());
    int width = n == static_cast<size_t>(-1) ? -1 : wcswidth(wide.c_str(), n);
    uselocale(before);
    return width < 0 ? std::string::npos : static_cast<size_t>(width);
}

scoped_env::scoped_env(const std::string &n, const char *value) : name(n)
{
    const char *v = getenv(n.c_str());
    had = v != nullptr;
    if (v)
        old = v;
    if (value)
        setenv(n.c_str(), value, 1);
    else
        unsetenv(n.c_str());
}

scoped_env::~scoped_env()
{
    if (had)
        setenv(name.c_str(), old.c_str(), 1);
    else
        unsetenv(name.c_str());
}

std::string copy_for_others(const temp_dir &dir, const std::string &program)
{
    std::string copy = dir / program.substr(program.rfind('/') + 1);
    if (run_program({"cp", "--", program, copy}).status != 0)
        throw std::runtime_error("cannot copy " + program);
    chmod(copy.c_str(), 0755);
    return copy;
}

std::string kelv_path() { return KELV_BIN; }
std::string kelvora_user_path() { return KELVORA_USER_BIN; }

namespace {

// The output of argv with text on its standard input; failure and the
// program's complaint when it fails.
std::string filtered(const std::vector<std::string> &argv, const std::string &text, const std::string &failure)
{
    run_options o;
    o.input = text;
    o.has_input = true;
    run_result r = run_program(argv, o);
    return r.status == 0 ? r.out : failure + r.err;
}

} // namespace

std::string reparse_json(const std::string &text)
{
    return filtered({"python3", "-c", "import json, sys; print(json.dumps(json.loads("
                                      "sys.stdin.buffer.read().decode('utf-8')), separators=(',', ':')))"},
                    text, "invalid: ");
}

std::string jq(const std::string &filter, const std::string &text)
{
    return filtered({"jq", "-c", filter}, text, "jq failed: ");
}

open_counter::open_counter(const std::string &dir) : fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    inotify_add_watch(fd, dir.c_str(), IN_OPEN | IN_ONLYDIR);
}

open_counter::~open_counter() { close(fd); }

int open_counter::take() const
{
    int count = 0;
    alignas(inotify_event) char buf[4096];
    ssize_t r;
    while ((r = read(fd, buf, sizeof buf)) > 0)
        for (ssize_t off = 0; off < r;) {
            const auto *e = reinterpret_cast<const inotify_event *>(buf + off);
            count += e->len == 0; // not one of its files
            off += static_cast<ssize_t>(sizeof *e + e->len);
        }
    return count;
}
