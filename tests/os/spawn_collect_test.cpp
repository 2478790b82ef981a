// Spawning on Linux, against stand-in programs this test writes: what each
// way of ending gives, that both pipes are drained together, and that nothing
// is left behind (no child, no descriptor) after many runs.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "os/linux/linux_system.h"
#include "os/process_test_util.h"

namespace lumenstat::testing {
namespace {

namespace fs = std::filesystem;

std::set<std::string> open_descriptors() {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// A directory of stand-in programs put first on PATH for the test's length.
struct Spawn : ::testing::Test {
    os::LinuxSystem system;
    fs::path directory;
    std::string saved_path;

    void SetUp() override {
        char name[] = "/tmp/lumenstat-spawn-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        directory = name;
        saved_path = std::getenv("PATH") ? std::getenv("PATH") : "";
        ::setenv("PATH", (directory.string() + ":/usr/bin:/bin").c_str(), 1);
        program("fails", "printf 'partial'; printf 'oops' >&2; exit 3");
        program("killed", "printf before; kill -9 $$");
        program("closes", "exec >&- 2>&-; sleep 0.2; exit 0");
        program("not-executable", "exit 0", false);
    }
    void TearDown() override {
        ::setenv("PATH", saved_path.c_str(), 1);
        fs::remove_all(directory);
    }

    void program(const std::string& name, const std::string& script, bool executable = true) {
        std::ofstream(directory / name) << "#!/bin/sh\n" << script << "\n";
        fs::permissions(directory / name, executable ? fs::perms(0755) : fs::perms(0644));
    }

    // 0 or the errno of a failed start, with what the child wrote; an
    // argument "PID" is the running process's pid.
    int run(const std::string& name, os::ChildOutput& output, std::vector<std::string> args = {}) {
        for (std::string& arg : args) {
            if (arg == "PID") arg = std::to_string(::getpid());
        }
        std::vector<const char*> argv = {name.c_str()};
        for (const std::string& arg : args) argv.push_back(arg.c_str());
        argv.push_back(nullptr);
        errno = 0;
        return system.spawn_collect(name.c_str(), argv.data(), output) == 0 ? 0 : errno;
    }

    // As run, in a child process with the ids of nobody (65534); only the
    // standard output comes back.
    int run_as_nobody(const std::string& name, os::ChildOutput& output,
                      const std::vector<std::string>& args) {
        int report[2];
        if (::pipe(report) != 0) return -1;
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(report[0]);
            // Dumpable again after the change of ids, so that its own
            // descriptors are its user's to read.
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0 ||
                ::prctl(PR_SET_DUMPABLE, 1) != 0) {
                ::_exit(120);
            }
            const std::string text =
                std::to_string(run(name, output, args)) + "\n" + output.standard_output;
            const bool written =
                ::write(report[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
            ::_exit(written ? 0 : 121);
        }
        ::close(report[1]);
        const std::string text = read_to_end(report[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        if (status != 0) return -status;
        const std::size_t line_end = text.find('\n');
        output = os::ChildOutput{};
        output.standard_output = text.substr(line_end + 1);
        return std::stoi(text.substr(0, line_end));
    }
};

// What each run gives, into one output that every run starts afresh, with
// SIGPIPE ignored as the interpreter has it and SIGCHLD ignored as daemons
// have it (the kernel then reaps a plain child at once, status and all):
// "noisy" would stall for ever if the pipes were read one after the other;
// "closes" shuts both early, and the wait still waits; "signals" looks at
// SIGPIPE's bit (12) in its ignored mask.
TEST_F(Spawn, EachWayOfEndingAsWaitpidTellsIt) {
    program("arguments", "printf '%s|' \"$@\"; cat");  // standard input is empty
    program("noisy", "head -c 4000000 /dev/zero >&2 & head -c 3000000 /dev/zero; wait");
    program("signals", "grep -q '^SigIgn:.*[13579bdf]...$' /proc/self/status && echo ignored");
    using Args = std::vector<std::string>;
    // The program, its arguments, standard output and error, wait status.
    const std::tuple<const char*, Args, std::string, std::string, int> cases[] = {
        {"fails", {}, "partial", "oops", W_EXITCODE(3, 0)},
        {"killed", {}, "before", "", SIGKILL},
        {"arguments", {"-L", "1", "a b", ""}, "-L|1|a b||", "", 0},
        {"closes", {}, "", "", 0},
        {"noisy", {}, std::string(3000000, '\0'), std::string(4000000, '\0'), 0},
        {"signals", {}, "", "", W_EXITCODE(1, 0)},  // grep found no bit set
    };
    struct sigaction ignore {};
    struct sigaction saved_pipe {};
    struct sigaction saved_child {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &saved_pipe);
    ::sigaction(SIGCHLD, &ignore, &saved_child);
    os::ChildOutput out;
    for (const auto& [name, args, standard_output, standard_error, status] : cases) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(run(name, out, args), 0) << name;
        if (name == std::string("closes")) {
            EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
        }
        EXPECT_EQ(out.standard_output.size(), standard_output.size()) << name;
        EXPECT_EQ(out.standard_error.size(), standard_error.size()) << name;
        EXPECT_TRUE(out.standard_output == standard_output && out.standard_error == standard_error)
            << name << ": " << out.standard_output.substr(0, 80) << "|"
            << out.standard_error.substr(0, 80);
        EXPECT_EQ(out.wait_status, status) << name;
    }
    ::sigaction(SIGPIPE, &saved_pipe, nullptr);
    ::sigaction(SIGCHLD, &saved_child, nullptr);
    EXPECT_EQ(run("not-executable", out), EACCES);
    EXPECT_EQ(run("lumenstat-no-such-program", out), ENOENT);
}

// The first executable nettop on PATH wins, else the shipped one runs: a
// directory on PATH that may not be searched hides nothing (as another user,
// from whom the test's own directory is closed), and a nettop found that
// cannot start fails the run instead of giving way.
TEST_F(Spawn, PathFirstThenTheShippedTool) {
    const std::string header = "fd,connection,inode,state,bytes_in,bytes_out\n";
    struct Case {
        const char* what;
        const char* nettop;  // the first line of the stand-in on PATH, if any
        bool as_nobody;
        int error;
        std::string output_start;
    };
    const Case cases[] = {
        {"none on PATH", nullptr, false, 0, header},
        {"a stand-in", "#!/bin/sh\nprintf stand-in", false, 0, "stand-in"},
        {"a stand-in that cannot start", "#!/lumenstat-no-such-interpreter", false, ENOENT, ""},
        {"a directory it may not search", "#!/bin/sh\nprintf stand-in", true, 0, header},
    };
    for (const Case& c : cases) {
        fs::remove(directory / "nettop");
        if (c.nettop != nullptr) {
            std::ofstream(directory / "nettop") << c.nettop << "\n";
            fs::permissions(directory / "nettop", fs::perms(0755));
        }
        os::ChildOutput out;
        const std::vector<std::string> args = {"-L", "1", "-n", "-p", "PID"};
        const int error =
            c.as_nobody ? run_as_nobody("nettop", out, args) : run("nettop", out, args);
        EXPECT_EQ(error, c.error) << c.what;
        EXPECT_TRUE(out.standard_output.starts_with(c.output_start))
            << c.what << ": " << out.standard_output;
    }
}

TEST_F(Spawn, NoChildOrDescriptorLeftAfterManyRuns) {
    program("closes", "exec >&- 2>&-");
    program("noisy", "head -c 100000 /dev/zero >&2; echo done");
    const std::string names[] = {"fails", "killed",         "closes",
                                 "noisy", "not-executable", "no-such-program"};
    const std::set<std::string> before = open_descriptors();
    int started = 0;
    for (int i = 0; i < 60; ++i) {
        os::ChildOutput out;
        started += run(names[i % std::size(names)], out) == 0;
    }
    EXPECT_EQ(started, 40);  // the last two of each six cannot start
    EXPECT_EQ(open_descriptors(), before);
    int status = 0;
    EXPECT_EQ(::waitpid(-1, &status, WNOHANG | __WALL), -1);
    EXPECT_EQ(errno, ECHILD);
}

}  // namespace
}  // namespace lumenstat::testing
