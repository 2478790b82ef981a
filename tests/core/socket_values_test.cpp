#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "socket/address_text.h"
#include "socket/parsers.h"
#include "socket/values.h"

namespace lumenstat {
namespace {

template <class Values, class Text>
std::string joined(const Values& values, Text text) {
    std::string out;
    for (auto value : values) out += std::string(text(value)) + " ";
    return out;
}

TEST(SocketValueTexts, StatesProtocolsAndTheKernelStateTable) {
    EXPECT_EQ(joined(kAllSocketStates, state_display_text),
              "ESTABLISHED SYN_SENT SYN_RECV FIN_WAIT1 FIN_WAIT2 TIME_WAIT CLOSED CLOSE_WAIT "
              "LAST_ACK LISTEN CLOSING UNKNOWN ");
    EXPECT_EQ(joined(kAllSocketStates, state_debug_text),
              "Established SynSent SynReceived FinWait1 FinWait2 TimeWait Closed CloseWait "
              "LastAck Listen Closing Unknown ");
    EXPECT_EQ(joined(kAllProtocols, protocol_text), "tcp tcp6 udp udp6 ");
    EXPECT_EQ(joined(kAllProtocols, protocol_debug_text), "TcpV4 TcpV6 UdpV4 UdpV6 ");
    const int kernel[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 255, -1, INT_MIN, INT_MAX};
    EXPECT_EQ(joined(kernel, [](int v) { return state_display_text(state_from_kernel(v)); }),
              "CLOSED LISTEN SYN_SENT SYN_RECV ESTABLISHED CLOSE_WAIT FIN_WAIT1 CLOSING LAST_ACK "
              "FIN_WAIT2 TIME_WAIT UNKNOWN UNKNOWN UNKNOWN UNKNOWN UNKNOWN UNKNOWN ");
}

TEST(SocketAddress, EqualityComparesFamilyAndEveryField) {
    auto at = [](const char* text) { return *parse_socket_address(text).value; };
    const SocketAddress base = at("[::ffff:127.0.0.1]:80");
    SocketAddress flow = base;
    flow.flowinfo = 1;
    EXPECT_EQ(base, at("[0::FFFF:7f00:1]:080"));
    for (const SocketAddress& other :
         {flow, at("[::ffff:127.0.0.1%1]:80"), at("[::ffff:127.0.0.1]:81"),
          at("[::ffff:127.0.0.2]:80"), at("127.0.0.1:80")}) {
        EXPECT_NE(base, other) << socket_address_text(other);
    }
    EXPECT_NE(at("127.0.0.1:80"), at("127.0.0.2:80"));
    EXPECT_NE(at("127.0.0.1:80"), at("127.0.0.1:81"));
}

TEST(SocketAddressText, LongestTextFitsTheBufferAndFlowInformationNeverShows) {
    std::array<std::uint8_t, 16> ones;
    ones.fill(0xff);
    char buffer[kSocketAddressTextMax + 1];
    std::memset(buffer, '#', sizeof buffer);
    std::size_t length =
        write_socket_address_text(SocketAddress::v6(ones, 65535, 7, 4294967295u), buffer);
    EXPECT_EQ(std::string(buffer, length),
              "[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967295]:65535");
    EXPECT_EQ(length, kSocketAddressTextMax);
    EXPECT_EQ(buffer[kSocketAddressTextMax], '#');
}

TEST(ParseSocketState, AnyCaseOfTheDisplayTextsUnderFullCaseMapping) {
    for (SocketState state : kAllSocketStates) {
        auto parsed = parse_socket_state(state_display_text(state));
        ASSERT_TRUE(parsed) << state_display_text(state);
        EXPECT_EQ(*parsed.value, state);
    }
    const std::pair<const char*, SocketState> rows[] = {
        {"lIsTeN", SocketState::Listen},
        {"syn_recv", SocketState::SynReceived},
        // Dotless i and long s upper-case to ASCII letters; the "st" ligature to two.
        {"l\u0131\u017Ften", SocketState::Listen},
        {"e\uFB06ablished", SocketState::Established},
    };
    for (auto [text, state] : rows) {
        auto parsed = parse_socket_state(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(*parsed.value, state) << text;
    }
}

TEST(ParseSocketState, RejectsWithTheTextAsGiven) {
    using namespace std::string_literals;
    for (std::string text : {"TimeWait"s, "TIME WAIT"s, " LISTEN"s, "LISTEN\n"s, ""s,
                             "syn_received"s, "\xff"s, "LISTEN\0"s}) {
        auto parsed = parse_socket_state(text);
        EXPECT_FALSE(parsed) << text;
        EXPECT_EQ(parsed.error, "invalid state: " + text);
    }
}

// Each text parses, prints in canonical form, and the printed text parses back
// to the same address.
TEST(ParseSocketAddress, AcceptedFormsPrintCanonically) {
    const std::pair<const char*, const char*> rows[] = {
        {"127.0.0.1:80", "127.0.0.1:80"},
        {"255.255.255.255:65535", "255.255.255.255:65535"},
        {"10.20.100.199:00080", "10.20.100.199:80"},
        {"[::]:0", "[::]:0"},
        {"[fe80::1%4]:22", "[fe80::1%4]:22"},
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
        {"[1:0:0:2:0:0:3:4]:9", "[1::2:0:0:3:4]:9"},
        // Mapped IPv4 prints as such; compatible IPv4 does not.
        {"[::FFFF:7f00:1]:8080", "[::ffff:127.0.0.1]:8080"},
        {"[::10.0.0.1]:1", "[::a00:1]:1"},
        {"[::1:ffff:a00:1]:1", "[::1:ffff:a00:1]:1"},
        {"[1:2:3:4:5:6:1.2.3.4]:1", "[1:2:3:4:5:6:102:304]:1"},
        {"[1:2:3:4:5::1.2.3.4]:1", "[1:2:3:4:5:0:102:304]:1"},
    };
    for (auto [text, canonical] : rows) {
        auto parsed = parse_socket_address(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(parsed.value->flowinfo, 0u);
        EXPECT_EQ(socket_address_text(*parsed.value), canonical);
        auto reparsed = parse_socket_address(canonical);
        ASSERT_TRUE(reparsed) << canonical;
        EXPECT_EQ(*reparsed.value, *parsed.value) << canonical;
    }
    EXPECT_EQ(ip_address_text(*parse_socket_address("[::ffff:10.0.0.1%3]:1").value),
              "::ffff:10.0.0.1");
}

TEST(ParseSocketAddress, RejectedForms) {
    const char* rejected[] = {
        "", "127.0.0.1", "::1:80", "localhost:80", "127.000.0.1:80", "127.0.0.01:80",
        "127.0.0.256:80", "127.0.0.1:65536", " 127.0.0.1:80", "127.0.0.1:80 ",
        "127.0.0.1:", "127.0.0:80", "127.0.0.1.5:80", "127.0.0.1:+80", "127..0.1:80",
        "0x7f.0.0.1:80", "1.2.3.4:99999999999999999999", "127.0.0.1:80:80",
        // IPv6
        "[::1]", "[::1]80", "[::1] :80", "[]:80", "[:::]:80", "[1::2::3]:80", "[::1::]:80",
        "[1:2:3:4:5:6:7:8:9]:80", "[1:2:3:4:5:6:7]:80", "[1:2:3:4:5:6:7:8::]:80",
        "[::1:2:3:4:5:6:7:8]:80", "[12345::]:80", "[g::]:80", "[:1::]:80", "[::1:]:80",
        "[1.2.3.4::]:80", "[::1.2.3.4:1]:80", "[1:2:3:4:5:6:7:1.2.3.4]:80", "[::ffff:1.2.3]:80",
        "[::ffff:01.2.3.4]:80", "[fe80::1%4294967296]:22", "[fe80::1%]:22", "[fe80::1%eth0]:22",
        "[fe80::1%4%5]:22", "[%4]:22", "[::1]:65536", "[[::1]]:80", "[ ::1]:80"};
    for (const char* text : rejected) {
        auto parsed = parse_socket_address(text);
        EXPECT_FALSE(parsed) << text;
        EXPECT_EQ(parsed.error, "invalid socket address syntax") << text;
    }
}

}  // namespace
}  // namespace lumenstat
