// Spawning on Linux, against stand-in programs this test writes: what each
// way of ending gives, that both pipes are drained together, that the traffic
// tool is looked up on PATH first, and that nothing is left behind (no child,
// no descriptor) after many runs. Then the traffic tool itself: the payload
// counts it takes from the kernel's TCP information, and its refusals (its
// counts of live connections: tests/python/test_sockets.py).
#include <gtest/gtest.h>
#include <linux/tcp.h>

#include <filesystem>

#include "os/linux/linux_system.h"
#include "os/process_test_util.h"
#include "tcp_connections.h"

namespace lumenstat::testing {
namespace {

namespace fs = std::filesystem;

// A directory of stand-in programs put first on PATH for the test's length.
struct Spawn : ::testing::Test {
    os::LinuxSystem system;
    fs::path directory = [] {
        char name[] = "/tmp/lumenstat-spawn-XXXXXX";
        return fs::path(::mkdtemp(name));
    }();
    const std::string saved_path = std::getenv("PATH") ? std::getenv("PATH") : "";

    void SetUp() override {
        ::setenv("PATH", (directory.string() + ":/usr/bin:/bin").c_str(), 1);
        program("fails", "printf 'partial'; printf 'oops' >&2; exit 3");
        program("killed", "printf before; kill -9 $$");
        program("not-executable", "exit 0", false);
    }
    void TearDown() override {
        ::setenv("PATH", saved_path.c_str(), 1);
        fs::remove_all(directory);
    }

    // A shell script, or the whole text of the file when `shell` is false.
    void program(const std::string& name, const std::string& script, bool executable = true,
                 bool shell = true) {
        std::ofstream(directory / name) << (shell ? "#!/bin/sh\n" : "") << script << "\n";
        fs::permissions(directory / name, executable ? fs::perms(0755) : fs::perms(0644));
    }

    // 0 or the errno of a failed start, with what the child wrote.
    int run(const std::string& name, os::ChildOutput& output, std::vector<std::string> args = {}) {
        std::vector<const char*> argv = {name.c_str()};
        for (const std::string& arg : args) argv.push_back(arg.c_str());
        argv.push_back(nullptr);
        errno = 0;
        return system.spawn_collect(name.c_str(), argv.data(), output) == 0 ? 0 : errno;
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
    program("closes", "exec >&- 2>&-; sleep 0.2; exit 0");
    // The program, its arguments, standard output and error, wait status.
    const std::tuple<const char*, std::vector<std::string>, std::string, std::string, int> cases[] =
        {
            {"fails", {}, "partial", "oops", W_EXITCODE(3, 0)},
            {"killed", {}, "before", "", SIGKILL},
            {"arguments", {"-L", "1", "a b", ""}, "-L|1|a b||", "", 0},
            {"closes", {}, "", "", 0},
            {"noisy", {}, std::string(3000000, '\0'), std::string(4000000, '\0'), 0},
            {"signals", {}, "", "", W_EXITCODE(1, 0)},  // grep found no bit set
        };
    struct sigaction ignore = {}, saved_pipe = {}, saved_child = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &saved_pipe);
    ::sigaction(SIGCHLD, &ignore, &saved_child);
    const long before = open_descriptors();
    os::ChildOutput out;
    for (const auto& [name, args, standard_output, standard_error, status] : cases) {
        EXPECT_EQ(run(name, out, args), 0) << name;
        EXPECT_TRUE(out.standard_output == standard_output &&
                    out.standard_error == standard_error && out.wait_status == status)
            << name << ": " << out.standard_output.size() << " bytes, " << out.standard_error.size()
            << " bytes, " << out.wait_status.value_or(-1);
    }
    ::sigaction(SIGPIPE, &saved_pipe, nullptr);
    ::sigaction(SIGCHLD, &saved_child, nullptr);
    EXPECT_EQ(run("not-executable", out), EACCES);
    EXPECT_EQ(run("lumenstat-no-such-program", out), ENOENT);
    // Nothing is left behind: no descriptor, no child.
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG | __WALL), -1);
    EXPECT_EQ(errno, ECHILD);
}

// The first executable nettop on PATH wins (with none on PATH the shipped one
// runs: tests/python/test_sockets.py); a nettop found that cannot start fails
// the run instead of giving way.
TEST_F(Spawn, FirstNettopOnPathWins) {
    const std::tuple<const char*, int, std::string> cases[] = {
        // the stand-in on PATH; the error and the output's start
        {"#!/bin/sh\nprintf stand-in", 0, "stand-in"},
        {"#!/lumenstat-no-such-interpreter", ENOENT, ""},
    };
    for (const auto& [nettop, error, output_start] : cases) {
        program("nettop", nettop, true, false);
        os::ChildOutput out;
        EXPECT_EQ(run("nettop", out, {"-L", "1", "-n", "-p", std::to_string(::getpid())}), error);
        EXPECT_TRUE(out.standard_output.starts_with(output_start)) << out.standard_output;
    }
}

// The sequence counters count the peer's FIN as one byte received once it
// has arrived (the state says whether); the sent count never holds the SYN
// or FIN, and a byte sent twice counts once. An older kernel's shorter
// record: what it lacks reads 0, also where the connection held a count.
TEST(TrafficToolCounts, PayloadBytesOnlyInEveryState) {
    constexpr std::size_t kWhole = sizeof(tcp_info), kNoSent = offsetof(tcp_info, tcpi_bytes_sent);
    // state, sent, retransmitted, received, record length; the counts wanted
    const std::tuple<std::uint8_t, std::uint64_t, std::uint64_t, std::uint64_t, std::size_t,
                     std::string>
        cases[] = {
            {1, 5600, 600, 3000, kWhole, "5000 3000"},  // ESTABLISHED, retransmissions
            {4, 5000, 0, 3000, kWhole, "5000 3000"},    // FIN_WAIT1: our FIN went, none came
            {11, 3000, 0, 5001, kWhole, "3000 5000"},   // CLOSING
            {1, 7, 0, 9, kNoSent, "0 9"},               // older kernel
            {1, 7, 0, 9, 16, "0 0"},                    // older still
            {8, 0, 0, 1, kWhole, "0 0"},                // a FIN and nothing else
            {1, 10, 20, 0, kWhole, "0 0"},              // never below zero
        };
    nettop::TcpConnection connection;  // each row's counts replace the last row's
    for (const auto& [state, sent, retransmitted, received, length, wanted] : cases) {
        tcp_info info{};
        info.tcpi_bytes_sent = sent;
        info.tcpi_bytes_retrans = retransmitted;
        info.tcpi_bytes_received = received;
        nettop::payload_counts(std::as_bytes(std::span(&info, 1)).first(length), state, connection);
        EXPECT_EQ(
            std::to_string(connection.bytes_sent) + " " + std::to_string(connection.bytes_received),
            wanted)
            << int(state) << " " << sent << " " << received;
    }
}

}  // namespace
}  // namespace lumenstat::testing
