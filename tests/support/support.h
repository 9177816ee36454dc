// Helpers shared by the tests: temporary trees, files, and running programs
// or functions in child processes with their output captured.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct run_result {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

struct run_options {
    std::vector<std::string> env; // "NAME=value" set, "NAME" removed
    bool clean_env = false;       // start from an empty environment
    std::string input;            // standard input (else /dev/null)
    bool has_input = false;
    uid_t uid = static_cast<uid_t>(-1); // run as this user (needs root)
    gid_t gid = static_cast<gid_t>(-1);
    std::vector<gid_t> groups; // supplementary groups with uid (else gid alone)
    std::string cwd;
    int timeout_seconds = 60;
};

// A wait status as a shell shows it: the exit status, or 128 + signal.
int decode_status(int wait_status);

// Runs argv[0] (searched along PATH) and collects its output.
run_result run_program(const std::vector<std::string> &argv, const run_options &opt = {});
// Runs fn in a forked child (which then exits 0) and collects its output.
run_result run_in_child(const std::function<void()> &fn);

// A fresh directory, removed with its content at the end of the scope.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// The lines of text, without their newlines (a final newline ends the last
// line rather than starting an empty one).
std::vector<std::string> split_lines(const std::string &text);

void write_text(const std::string &path, const std::string &content, mode_t mode = 0644);
std::string read_text(const std::string &path);
bool exists(const std::string &path);
std::vector<std::string> list_dir(const std::string &path); // sorted, no dot entries
std::vector<std::string> lines(const std::string &text);    // without their newlines
// Columns of a line on a terminal, measured as a terminal emulator does, by
// the C library's tables (wcswidth under C.UTF-8): wide characters 2,
// combining marks 0; npos for text that is not printable UTF-8.
size_t columns(const std::string &text);

// Sets or removes an environment variable for the scope.
struct scoped_env {
    std::string name;
    std::string old;
    bool had;
    scoped_env(const std::string &n, const char *value);
    ~scoped_env();
};

// Counts the times a directory itself is opened (not one of its files), as
// a child reading a mailbox opens its acks directory.
struct open_counter {
    int fd;
    explicit open_counter(const std::string &dir);
    ~open_counter();
    open_counter(const open_counter &) = delete;
    open_counter &operator=(const open_counter &) = delete;
    // The opens since the last take.
    int take() const;
};

// Paths of the built programs.
std::string kelv_path();
std::string kelvora_user_path();

// A copy of program in dir, for running it as another user: the build
// tree may lie in a directory that only its owner can enter (/root, a
// home directory).
std::string copy_for_others(const temp_dir &dir, const std::string &program);

// text as python3's strict JSON parser reads it (UTF-8 input, no raw control
// characters, one document), written back compact in ASCII with its members
// in their order; "invalid: " and the parser's complaint otherwise.
std::string reparse_json(const std::string &text);
// What jq -c filter prints for the JSON text, one value per line.
std::string jq(const std::string &filter, const std::string &text);
