// Sent records and mailboxes written by hand for the report tests, a way to
// run one command in a child, and a stand-in for the journal that records the
// events a command logs.
#pragma once

#include "reports/reports.h"
#include "store.h"

#include <cstdint>
#include <string>
#include <vector>

// Seconds since the epoch of a UTC date and time.
int64_t utc(int year, int month, int day, int hour, int minute, int second = 0);
// Makes the time zone UTC for this process, so format_time is predictable.
void use_utc();
void set_mtime(const std::string &path, int64_t t);

// The bytes of a message file.
std::string message_file(long long n, int64_t date, const std::string &text, const std::string &title = "",
                         int64_t expires = 0, const std::string &from = "root");
// D/sent/N with msg and recipients (one name per line).
void make_record(const test_store &s, long long n, int64_t date, const std::vector<std::string> &recipients,
                 const std::string &text = "text\n", const std::string &title = "", int64_t expires = 0);
void add_delivery(const test_store &s, long long n, const std::string &user, int terminals = 1);
// D/users/USER with its four directories.
void make_mailbox(const test_store &s, const std::string &user);
void put_copy(const test_store &s, const std::string &user, long long n);
void write_confirmation(const test_store &s, const std::string &user, long long n, const std::string &line);
void put_marker(const test_store &s, const std::string &user, long long n, const std::string &suffix,
                int64_t mtime);

// Runs cmd with args as its arguments (what follows the command's name) in a
// child, as kelv would.
run_result run_command(int (*cmd)(int, char **), const std::vector<std::string> &args);

// Catches the events logged while it lives, through the journal or through
// syslog: each becomes a line with its sentence in a file, also from forked
// children.
struct event_capture {
    temp_dir dir;

    event_capture();
    ~event_capture();
    event_capture(const event_capture &) = delete;
    event_capture &operator=(const event_capture &) = delete;
    std::string lines() const;
};
