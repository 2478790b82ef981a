// Socket states from the kernel's numbers, addresses parsed and written, and
// the traffic tool's counts matched to sockets by their addresses.
#include <gtest/gtest.h>

#include <climits>
#include <ranges>
#include <string>
#include <tuple>

#include "socket/address_text.h"
#include "socket/parsers.h"
#include "socket/traffic_table.h"
#include "socket/values.h"

namespace lumenstat {
namespace {

TEST(SocketState, FromTheKernelsNumbers) {
    std::string states;
    for (int v : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 255, -1, INT_MIN, INT_MAX}) {
        states += std::string(state_display_text(state_from_kernel(v))) + " ";
    }
    EXPECT_EQ(states,
              "CLOSED LISTEN SYN_SENT SYN_RECV ESTABLISHED CLOSE_WAIT FIN_WAIT1 CLOSING LAST_ACK "
              "FIN_WAIT2 TIME_WAIT UNKNOWN UNKNOWN UNKNOWN UNKNOWN UNKNOWN UNKNOWN ");
}

TEST(ParseSocketAddress, AcceptedFormsPrintCanonically) {
    const std::pair<const char*, const char*> rows[] = {
        {"255.255.255.255:65535", "255.255.255.255:65535"},
        {"10.20.100.199:00080", "10.20.100.199:80"},
        {"[::]:0", "[::]:0"},
        {"[fe80::1%004294967295]:22", "[fe80::1%4294967295]:22"},
        {"[1:2:3:4:5:6:7:8]:65535", "[1:2:3:4:5:6:7:8]:65535"},
        {"[0000:0000:0000:0000:0000:0000:0000:0001]:080", "[::1]:80"},
        {"[ABCD:00EF:0A0B:FFFF:0010:0100:1000:000F]:1", "[abcd:ef:a0b:ffff:10:100:1000:f]:1"},
        {"[1::]:1", "[1::]:1"},
        // A single zero group is written "0", never "::".
        {"[1:2:3:4:5:6:7::]:1", "[1:2:3:4:5:6:7:0]:1"},
        {"[::2:3:4:5:6:7:8]:1", "[0:2:3:4:5:6:7:8]:1"},
        // The longest run of zero groups is compressed, the first of equal ones.
        {"[2001:db8:0:0:1:0:0:1]:443", "[2001:db8::1:0:0:1]:443"},
        {"[2001:0:0:1:0:0:0:1]:1", "[2001:0:0:1::1]:1"},
        // Mapped IPv4 prints as such; compatible IPv4 does not.
        {"[::FFFF:7f00:1]:8080", "[::ffff:127.0.0.1]:8080"},
        {"[::10.0.0.1]:1", "[::a00:1]:1"},
        {"[::1:ffff:a00:1]:1", "[::1:ffff:a00:1]:1"},
        {"[1:2:3:4:5::1.2.3.4]:1", "[1:2:3:4:5:0:102:304]:1"},
    };
    for (auto [text, canonical] : rows) {
        auto parsed = parse_socket_address(text);
        EXPECT_EQ(parsed ? socket_address_text(*parsed.value) : parsed.error, canonical);
    }
    EXPECT_EQ(ip_address_text(*parse_socket_address("[::ffff:10.0.0.1%3]:1").value),
              "::ffff:10.0.0.1");
    // Rejected forms, separated by bars; the first is the empty text.
    const std::string rejected =
        "|127.0.0.1|::1:80|127.000.0.1:80|127.0.0.256:80|127.0.0.1:65536| 127.0.0.1:80|"
        "127.0.0.1:+80|0x7f.0.0.1:80|1.2.3.4:99999999999999999999|[::1]|[]:80|[:::]:80|"
        "[1::2::3]:80|[1:2:3:4:5:6:7:8:9]:80|[1:2:3:4:5:6:7]:80|[1:2:3:4:5:6:7:8::]:80|"
        "[12345::]:80|[::1.2.3.4:1]:80|[::ffff:01.2.3.4]:80|[fe80::1%4294967296]:22|"
        "[fe80::1%eth0]:22|[[::1]]:80";
    for (const auto text : std::views::split(rejected, '|')) {
        EXPECT_FALSE(parse_socket_address(std::string_view(text))) << std::string_view(text);
    }
}

// Each socket takes the line whose halves are its endpoints as a whole: a
// text found anywhere inside a description would give port 80 the counts of
// port 8080, 10.0.0.1 those of 110.0.0.1, and the two ends of a connection
// inside one process each other's counts (sent and received swapped).
TEST(TrafficTableFind, MatchesWholeEndpointsHalfByHalf) {
    const TrafficTable table = TrafficTable::parse(
        "x,tcp4 127.0.0.1:8080<->127.0.0.1:5000,,,1,2\n"
        "x,tcp4 110.0.0.1:22<->127.0.0.1:6000,,,3,4\n"
        "x,tcp4 127.0.0.1:7000<->127.0.0.1:7001,,,10,20\n"
        "x,tcp4 127.0.0.1:7001<->127.0.0.1:7000,,,20,10\n"
        "x,tcp4 127.0.0.1:8080<->*:*,,,5,6\n"
        "x,tcp6 ::1.8080<->*.*,,,7,8\n"
        "x,tcp6 ::1.443<->::1.52100,,,11,12\n"
        "x,tcp6 ::1:444<->::1:52101,,,13,14\n"
        "x,127.0.0.1.9<->127.0.0.1.10,,,15,16\n"
        "x,tcp4 127.0.0.1:9<->127.0.0.1:10,,,97,97\n"
        "x,tcp46 127.0.0.1:7000<->127.0.0.1:7001,,,99,99\n");
    const std::tuple<const char*, const char*, const char*> rows[] = {
        {"127.0.0.1:80", "127.0.0.1:5000", "none"},
        {"127.0.0.1:8080", "127.0.0.1:5000", "2/1"},
        {"10.0.0.1:22", "127.0.0.1:6000", "none"},
        {"127.0.0.1:7000", "127.0.0.1:7001", "20/10"},
        {"127.0.0.1:7001", "127.0.0.1:7000", "10/20"},
        {"127.0.0.1:8080", nullptr, "6/5"},
        {"[::1]:8080", nullptr, "8/7"},
        {"[::1]:443", "[::1]:52100", "12/11"},
        {"[::1]:444", "[::1]:52101", "14/13"},
        {"127.0.0.1:9", "127.0.0.1:10", "16/15"},  // the first of two forms that match
        // The right local end with another remote end, or none, is another connection.
        {"127.0.0.1:7000", "127.0.0.1:7002", "none"},
        {"127.0.0.1:7000", nullptr, "none"},
        {"[::1]:443", nullptr, "none"},
    };
    auto at = [](const char* text) { return *parse_socket_address(text).value; };
    for (auto [local, remote, counts] : rows) {
        auto found = table.find(at(local), remote ? std::optional(at(remote)) : std::nullopt);
        EXPECT_EQ(
            found ? std::to_string(found->bytes_sent) + "/" + std::to_string(found->bytes_received)
                  : "none",
            counts)
            << local << " " << (remote ? remote : "-");
    }
}

}  // namespace
}  // namespace lumenstat
