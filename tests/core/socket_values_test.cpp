// Socket states from the kernel's numbers, and addresses parsed and written.
#include <gtest/gtest.h>

#include <climits>
#include <ranges>
#include <string>

#include "socket/address_text.h"
#include "socket/parsers.h"
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

}  // namespace
}  // namespace lumenstat
