// Socket states and addresses: the kernel's numbers, the texts written and
// the texts parsed.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "socket/address_text.h"
#include "socket/parsers.h"
#include "socket/values.h"

namespace lumenstat {
namespace {

TEST(SocketState, FromTheKernelsNumbersAndParsedInAnyCase) {
    std::string states;
    for (int v : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 255, -1, INT_MIN, INT_MAX}) {
        states += std::string(state_display_text(state_from_kernel(v))) + " ";
    }
    EXPECT_EQ(states,
              "CLOSED LISTEN SYN_SENT SYN_RECV ESTABLISHED CLOSE_WAIT FIN_WAIT1 CLOSING LAST_ACK "
              "FIN_WAIT2 TIME_WAIT UNKNOWN UNKNOWN UNKNOWN UNKNOWN UNKNOWN UNKNOWN ");
    for (SocketState state : kAllSocketStates) {
        EXPECT_EQ(parse_socket_state(state_display_text(state)).value, state);
    }
    // Dotless i and long s upper-case to ASCII letters; the "st" ligature to two.
    const std::pair<const char*, SocketState> accepted[] = {
        {"lIsTeN", SocketState::Listen},
        {"syn_recv", SocketState::SynReceived},
        {"l\u0131\u017Ften", SocketState::Listen},
        {"e\uFB06ablished", SocketState::Established},
    };
    for (auto [text, state] : accepted) EXPECT_EQ(parse_socket_state(text).value, state) << text;
    using namespace std::string_literals;
    for (std::string text : {"TimeWait"s, "TIME WAIT"s, " LISTEN"s, "LISTEN\n"s, ""s,
                             "syn_received"s, "\xff"s, "LISTEN\0"s}) {
        EXPECT_EQ(parse_socket_state(text).error, "invalid state: " + text);
    }
}

TEST(SocketAddressText, LongestTextFitsTheBufferAndFlowInformationNeverShows) {
    std::array<std::uint8_t, 16> ones;
    ones.fill(0xff);
    char buffer[kSocketAddressTextMax + 1];
    std::memset(buffer, '#', sizeof buffer);
    std::size_t length =
        write_socket_address_text(SocketAddress::v6(ones, 65535, 7, 4294967295u), buffer);
    EXPECT_EQ(std::string(buffer, length + 1),
              "[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967295]:65535#");
    EXPECT_EQ(length, kSocketAddressTextMax);
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
    for (const char* text : {"",
                             "127.0.0.1",
                             "::1:80",
                             "localhost:80",
                             "127.000.0.1:80",
                             "127.0.0.01:80",
                             "127.0.0.256:80",
                             "127.0.0.1:65536",
                             " 127.0.0.1:80",
                             "127.0.0.1:80 ",
                             "127.0.0.1:",
                             "127.0.0:80",
                             "127.0.0.1.5:80",
                             "127.0.0.1:+80",
                             "127..0.1:80",
                             "0x7f.0.0.1:80",
                             "1.2.3.4:99999999999999999999",
                             "127.0.0.1:80:80",
                             "[::1]",
                             "[::1]80",
                             "[::1] :80",
                             "[]:80",
                             "[:::]:80",
                             "[1::2::3]:80",
                             "[::1::]:80",
                             "[1:2:3:4:5:6:7:8:9]:80",
                             "[1:2:3:4:5:6:7]:80",
                             "[1:2:3:4:5:6:7:8::]:80",
                             "[::1:2:3:4:5:6:7:8]:80",
                             "[12345::]:80",
                             "[g::]:80",
                             "[:1::]:80",
                             "[::1:]:80",
                             "[1.2.3.4::]:80",
                             "[::1.2.3.4:1]:80",
                             "[1:2:3:4:5:6:7:1.2.3.4]:80",
                             "[::ffff:1.2.3]:80",
                             "[::ffff:01.2.3.4]:80",
                             "[fe80::1%4294967296]:22",
                             "[fe80::1%]:22",
                             "[fe80::1%eth0]:22",
                             "[fe80::1%4%5]:22",
                             "[%4]:22",
                             "[::1]:65536",
                             "[[::1]]:80",
                             "[ ::1]:80"}) {
        EXPECT_FALSE(parse_socket_address(text)) << text;
    }
}

}  // namespace
}  // namespace lumenstat
