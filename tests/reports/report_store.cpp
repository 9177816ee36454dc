#include "report_store.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

int64_t utc(int year, int month, int day, int hour, int minute, int second)
{
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return static_cast<int64_t>(timegm(&tm));
}

void use_utc()
{
    setenv("TZ", "UTC", 1);
    tzset();
}

void set_mtime(const std::string &path, int64_t t)
{
    struct timeval tv[2] = {{static_cast<time_t>(t), 0}, {static_cast<time_t>(t), 0}};
    utimes(path.c_str(), tv);
}

std::string message_file(long long n, int64_t date, const std::string &text, const std::string &title,
                         int64_t expires, const std::string &from)
{
    return "format: 1\nid: " + std::to_string(n) + "\nfrom: " + from + "\ndate: " + std::to_string(date) +
           "\ntitle: " + title + "\nexpires: " + (expires ? std::to_string(expires) : "") + "\n\n" + text;
}

void make_record(const test_store &s, long long n, int64_t date, const std::vector<std::string> &recipients,
                 const std::string &text, const std::string &title, int64_t expires)
{
    mkdir(s.path("sent").c_str(), 0700);
    mkdir(s.sent(n, "").c_str(), 0700);
    write_text(s.sent(n, "msg"), message_file(n, date, text, title, expires), 0600);
    std::string list;
    for (const std::string &r : recipients)
        list += r + "\n";
    write_text(s.sent(n, "recipients"), list, 0600);
}

void add_delivery(const test_store &s, long long n, const std::string &user, int terminals)
{
    std::string path = s.sent(n, "delivery");
    std::string old = exists(path) ? read_text(path) : "";
    write_text(path, old + user + " 1000 " + std::to_string(terminals) + "\n", 0600);
}

void make_mailbox(const test_store &s, const std::string &user)
{
    mkdir(s.path("users").c_str(), 0755);
    mkdir(s.mailbox(user, "").c_str(), 0700);
    for (const char *d : {"inbox", "read", "acks", "state"})
        mkdir(s.mailbox(user, d).c_str(), 0755);
}

void put_copy(const test_store &s, const std::string &user, long long n)
{
    make_mailbox(s, user);
    write_text(s.mailbox(user, "inbox/" + std::to_string(n)), read_text(s.sent(n, "msg")));
}

void write_confirmation(const test_store &s, const std::string &user, long long n, const std::string &line)
{
    make_mailbox(s, user);
    write_text(s.mailbox(user, "acks/" + std::to_string(n)), line);
}

void put_marker(const test_store &s, const std::string &user, long long n, const std::string &suffix,
                int64_t mtime)
{
    make_mailbox(s, user);
    std::string path = s.mailbox(user, "state/" + std::to_string(n) + "." + suffix);
    write_text(path, "");
    set_mtime(path, mtime);
}

run_result run_command(int (*cmd)(int, char **), const std::vector<std::string> &args)
{
    return run_in_child([&] {
        program_name = "kelv";
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        cmd(static_cast<int>(args.size()), argv.data());
    });
}

namespace {

using send_fn = int (*)(const char *, const char *, const char *, const char *, ...);
std::string capture_file;
bool capturing = false;
send_fn saved_send = nullptr;

void record(const std::string &sentence)
{
    std::string line = sentence + "\n";
    int fd = open(capture_file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        write_all(fd, line.data(), line.size());
        close(fd);
    }
}

// Takes the printf-like field list of the journal call apart: each format is
// followed by the value of its one conversion, if it has one.
int capture_send(const char *, const char *, const char *, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string sentence;
    for (const char *f = format; f; f = va_arg(ap, const char *)) {
        std::string field;
        if (const char *conv = strstr(f, "%lld"))
            field = std::string(f, conv) + std::to_string(va_arg(ap, long long));
        else if (const char *conv = strstr(f, "%s"))
            field = std::string(f, conv) + va_arg(ap, const char *);
        else
            field = f;
        if (field.rfind("MESSAGE=", 0) == 0)
            sentence = field.substr(8);
    }
    va_end(ap);
    record(sentence);
    return 0;
}

} // namespace

// Without a journal socket events go to syslog; this definition stands in
// for the C library's in the test binary, and passes everything on while no
// capture is active.
extern "C" void syslog(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    if (capturing) {
        char text[4096];
        vsnprintf(text, sizeof text, format, ap);
        record(text);
    } else {
        vsyslog(priority, format, ap);
    }
    va_end(ap);
}

event_capture::event_capture()
{
    // The table of the loaded library is static storage of its own; only
    // the one entry is swapped, and put back at the end of the scope.
    capture_file = dir / "events";
    capturing = true;
    if (systemd_api *api = const_cast<systemd_api *>(systemd())) {
        saved_send = api->journal_send_with_location;
        api->journal_send_with_location = capture_send;
    }
}

event_capture::~event_capture()
{
    capturing = false;
    if (systemd_api *api = const_cast<systemd_api *>(systemd()))
        api->journal_send_with_location = saved_send;
}

std::string event_capture::lines() const
{
    return exists(dir / "events") ? read_text(dir / "events") : "";
}
