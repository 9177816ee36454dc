#include "store.h"

#include "common/common.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

test_store::test_store() : saved_var_dir(var_dir), saved_test_mode(test_mode)
{
    tty = dir / "tty";
    write_text(tty, "");
    struct passwd *pw = getpwuid(getuid());
    me = pw ? pw->pw_name : "root";
    var_dir = dir.path.c_str();
    test_mode = true;
}

test_store::~test_store()
{
    var_dir = saved_var_dir;
    test_mode = saved_test_mode;
}

std::string test_store::sent(long long n, const std::string &name) const
{
    return dir / ("sent/" + std::to_string(n) + (name.empty() ? "" : "/" + name));
}

std::string test_store::mailbox(const std::string &user, const std::string &rel) const
{
    return dir / ("users/" + user + (rel.empty() ? "" : "/" + rel));
}

run_result test_store::kelv(std::vector<std::string> args, const std::string &input,
                            std::vector<std::string> env) const
{
    args.insert(args.begin(), kelv_path());
    run_options o;
    o.env = {"KELV_TEST=1", "KELV_VAR=" + dir.path, "KELV_TEST_TTY=" + tty, "TZ=UTC"};
    o.env.insert(o.env.end(), env.begin(), env.end());
    o.input = input;
    o.has_input = true;
    return run_program(args, o);
}

std::vector<std::string> test_store::tree() const
{
    run_result r = run_program({"find", dir.path, "-mindepth", "1", "!", "-name", "tty"});
    std::vector<std::string> paths;
    size_t start = 0;
    while (start < r.out.size()) {
        size_t nl = r.out.find('\n', start);
        paths.push_back(r.out.substr(start, nl - start));
        start = nl == std::string::npos ? r.out.size() : nl + 1;
    }
    return paths;
}

void test_store::expect_refused(const std::vector<std::string> &args, const std::string &message) const
{
    std::vector<std::string> before = tree();
    run_result r = kelv(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kelv: " + message + "\n");
    EXPECT_EQ(tree(), before);
}
