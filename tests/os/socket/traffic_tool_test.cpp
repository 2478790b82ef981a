// The Linux traffic tool: the payload counts it takes from the kernel's TCP
// information, and its refusals on the live system. Its counts of live
// connections are checked through the module (tests/python/test_socket_stats.py).
#include <gtest/gtest.h>
#include <linux/tcp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "os/linux/linux_system.h"
#include "os/process_test_util.h"
#include "tcp_connections.h"

namespace lumenstat::testing {
namespace {

using nettop::TcpConnection;

// The sequence counters count the peer's FIN as one byte received once it
// has arrived (the state says whether); the sent count never holds the SYN
// or FIN, and a byte sent twice counts once. An older kernel's shorter
// record: what it lacks reads 0, also where the connection held a count.
TEST(TrafficToolCounts, PayloadBytesOnlyInEveryState) {
    constexpr std::size_t kWhole = sizeof(tcp_info), kNoSent = offsetof(tcp_info, tcpi_bytes_sent);
    struct Case {
        std::uint8_t state;
        std::uint64_t sent, retransmitted, received;
        std::size_t length;
        std::uint64_t want_sent, want_received;
    };
    const Case cases[] = {
        {1, 5000, 0, 3000, kWhole, 5000, 3000},    // ESTABLISHED
        {1, 5600, 600, 3000, kWhole, 5000, 3000},  // retransmissions
        {5, 5000, 0, 3000, kWhole, 5000, 3000},    // FIN_WAIT2: our FIN went, none came
        {4, 5000, 0, 3000, kWhole, 5000, 3000},    // FIN_WAIT1
        {8, 3000, 0, 5001, kWhole, 3000, 5000},    // CLOSE_WAIT: the peer's FIN came
        {9, 3000, 0, 5001, kWhole, 3000, 5000},    // LAST_ACK
        {11, 3000, 0, 5001, kWhole, 3000, 5000},   // CLOSING
        {1, 7, 0, 9, kNoSent, 0, 9},               // older kernel
        {1, 7, 0, 9, 16, 0, 0},                    // older still
        {8, 0, 0, 1, kWhole, 0, 0},                // a FIN and nothing else
        {10, 0, 0, 0, kWhole, 0, 0},               // LISTEN
        {1, 10, 20, 0, kWhole, 0, 0},              // never below zero
    };
    TcpConnection connection;  // each row's counts replace the last row's
    for (const Case& c : cases) {
        tcp_info info{};
        info.tcpi_bytes_sent = c.sent;
        info.tcpi_bytes_retrans = c.retransmitted;
        info.tcpi_bytes_received = c.received;
        nettop::payload_counts(std::as_bytes(std::span(&info, 1)).first(c.length), c.state,
                               connection);
        EXPECT_EQ(connection.bytes_sent, c.want_sent) << int(c.state) << " " << c.sent;
        EXPECT_EQ(connection.bytes_received, c.want_received) << int(c.state) << " " << c.received;
    }
}

// The tool's outcome for a command line.
struct ToolRun {
    int status = -1;
    std::string out, err;
};

ToolRun run_tool(std::vector<std::string> args) {
    std::vector<const char*> argv = {LUMENSTAT_NETTOP_PATH};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    os::LinuxSystem system;
    os::ChildOutput output;
    EXPECT_EQ(system.spawn_collect(LUMENSTAT_NETTOP_PATH, argv.data(), output), 0);
    ToolRun run;
    if (output.wait_status && WIFEXITED(*output.wait_status)) {
        run.status = WEXITSTATUS(*output.wait_status);
    }
    run.out = output.standard_output;
    run.err = output.standard_error;
    return run;
}

TEST(TrafficToolLive, RefusedInputsGetAMessageAndAFailingStatus) {
    const std::string missing = std::to_string(1 << 30);  // above any pid_max
    const std::string usage = "usage: nettop -L 1 -n -p PID\n";
    auto invalid = [&](const std::string& pid) {
        return "nettop: invalid process id '" + pid +
               "': a number from 1 to 2147483647 is needed\n" + usage;
    };
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{"-L", "1", "-n", "-p", "0"}, 2, invalid("0")},
        {{"-L", "1", "-n", "-p", "2147483648"}, 2, invalid("2147483648")},
        {{"-L", "1", "-n", "-p", "+5"}, 2, invalid("+5")},
        {{"-L", "2", "-n", "-p", "5"}, 2, usage},
        {{"-n", "-L", "1", "-p", "5"}, 2, usage},
        {{"-L", "1", "-n", "-p", missing}, 1, "nettop: no such process: " + missing + "\n"},
    };
    for (const auto& [args, status, message] : cases) {
        const ToolRun run = run_tool(args);
        EXPECT_EQ(std::tie(run.status, run.out, run.err), std::tie(status, "", message));
    }
}

// Another user may not read process 1's descriptors.
TEST(TrafficToolLive, DescriptorsItMayNotReadFailTheRun) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    int err[2];
    ASSERT_EQ(::pipe(err), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(err[1], 2);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(120);
        ::execl(LUMENSTAT_NETTOP_PATH, "nettop", "-L", "1", "-n", "-p", "1", nullptr);
        ::_exit(121);
    }
    ::close(err[1]);
    const std::string text = read_to_end(err[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(text, "nettop: cannot read the descriptors of process 1: Permission denied\n");
}

}  // namespace
}  // namespace lumenstat::testing
