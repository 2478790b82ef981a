// The Linux traffic tool: the payload counts it takes from the kernel's TCP
// information, and its refusals on the live system. Its counts of live
// connections are checked through the module (tests/python/test_sockets.py).
#include <gtest/gtest.h>
#include <linux/tcp.h>

#include "os/linux/linux_system.h"
#include "os/process_test_util.h"
#include "tcp_connections.h"

namespace lumenstat::testing {
namespace {

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
            {8, 3000, 0, 5001, kWhole, "3000 5000"},    // CLOSE_WAIT: the peer's FIN came
            {9, 3000, 0, 5001, kWhole, "3000 5000"},    // LAST_ACK
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

// "output|error|exit status" of the tool for a command line; as nobody, the
// error and the status alone.
std::string run_tool(std::vector<std::string> args, bool as_nobody = false) {
    std::vector<const char*> argv = {LUMENSTAT_NETTOP_PATH};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    os::ChildOutput output;
    if (!as_nobody) {
        EXPECT_EQ(os::LinuxSystem{}.spawn_collect(LUMENSTAT_NETTOP_PATH, argv.data(), output), 0);
        output.standard_output += "|" + output.standard_error;
    } else if (int err[2]; ::pipe(err) == 0) {
        if (const pid_t child = ::fork(); child == 0) {
            ::dup2(err[1], 2);
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(120);
            ::execv(LUMENSTAT_NETTOP_PATH, const_cast<char**>(argv.data()));
            ::_exit(121);
        } else {
            ::close(err[1]);
            output.standard_output = "|" + read_to_end(err[0]);
            output.wait_status.emplace(-1);
            ::waitpid(child, &*output.wait_status, 0);
        }
    }
    return output.standard_output + "|" +
           std::to_string(WEXITSTATUS(output.wait_status.value_or(-1)));
}

TEST(TrafficToolLive, RefusedInputsGetAMessageAndAFailingStatus) {
    const std::string missing = std::to_string(1 << 30);  // above any pid_max
    const std::string usage = "usage: nettop -L 1 -n -p PID\n";
    auto invalid = [&](const std::string& pid) {
        return "|nettop: invalid process id '" + pid +
               "': a number from 1 to 2147483647 is needed\n" + usage + "|2";
    };
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-L", "1", "-n", "-p", "0"}, invalid("0")},
        {{"-L", "1", "-n", "-p", "2147483648"}, invalid("2147483648")},
        {{"-L", "1", "-n", "-p", "+5"}, invalid("+5")},
        {{"-L", "2", "-n", "-p", "5"}, "|" + usage + "|2"},
        {{"-n", "-L", "1", "-p", "5"}, "|" + usage + "|2"},
        {{"-L", "1", "-n", "-p", missing}, "|nettop: no such process: " + missing + "\n|1"},
    };
    for (const auto& [args, wanted] : cases) EXPECT_EQ(run_tool(args), wanted);
    // Another user may not read process 1's descriptors.
    if (::geteuid() == 0) {
        EXPECT_EQ(run_tool({"-L", "1", "-n", "-p", "1"}, true),
                  "|nettop: cannot read the descriptors of process 1: Permission denied\n|1");
    }
}

}  // namespace
}  // namespace lumenstat::testing
