// A private message store in test mode, for tests of kelv's core in-process
// and black-box.
#pragma once

#include "support.h"

#include <string>
#include <vector>

struct test_store {
    temp_dir dir;
    std::string tty;  // the stand-in terminal (KELV_TEST_TTY), owned by the tester
    std::string me;   // the tester's account name: a recipient whose mailbox works
    const char *saved_var_dir;
    bool saved_test_mode;

    test_store();
    ~test_store();

    std::string path(const std::string &rel) const { return dir / rel; }
    std::string sent(long long n, const std::string &name) const;
    std::string mailbox(const std::string &user, const std::string &rel) const;
    // Runs kelv in test mode on this store.
    run_result kelv(std::vector<std::string> args, const std::string &input = "",
                    std::vector<std::string> env = {}) const;
    // Lists every path below the store, for "nothing was written" checks.
    std::vector<std::string> tree() const;
    // Runs kelv with args and expects the refusal: status 1, nothing on
    // standard output, "kelv: MESSAGE" on standard error, the store unchanged.
    void expect_refused(const std::vector<std::string> &args, const std::string &message) const;
};
