#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "socket/address_text.h"
#include "socket/parsers.h"

namespace lumenstat {
namespace {

TEST(ParseSocketState, AcceptsAnyCaseOfTheDisplayTexts) {
    struct Row {
        const char* text;
        SocketState state;
    };
    const Row rows[] = {
        {"time_wait", SocketState::TimeWait},
        {"TIME_WAIT", SocketState::TimeWait},
        {"listen", SocketState::Listen},
        {"lIsTeN", SocketState::Listen},
        {"closed", SocketState::Closed},
        {"syn_recv", SocketState::SynReceived},
        {"unknown", SocketState::Unknown},
        {"fin_wait1", SocketState::FinWait1},
        // Full case mapping: dotless i and long s upper-case to ASCII letters, as in Python.
        {"l\u0131\u017Ften", SocketState::Listen},
        // U+FB06 (the "st" ligature) expands to two letters.
        {"e\uFB06ablished", SocketState::Established},
    };
    for (const Row& row : rows) {
        auto parsed = parse_socket_state(row.text);
        ASSERT_TRUE(parsed) << row.text;
        EXPECT_EQ(*parsed.value, row.state) << row.text;
    }
    for (SocketState state : kAllSocketStates) {
        auto parsed = parse_socket_state(state_display_text(state));
        ASSERT_TRUE(parsed);
        EXPECT_EQ(*parsed.value, state);
    }
}

TEST(ParseSocketState, RejectsWithTheTextAsGiven) {
    for (std::string text : {"TimeWait", "TIME WAIT", " LISTEN", "LISTEN ", "", "syn_received",
                             "SynReceived", "LISTEN\n", "\xff"}) {
        auto parsed = parse_socket_state(text);
        EXPECT_FALSE(parsed) << text;
        EXPECT_EQ(parsed.error, "invalid state: " + text);
    }
    std::string with_nul("LISTEN\0", 7);
    EXPECT_FALSE(parse_socket_state(with_nul));
    EXPECT_EQ(parse_socket_state(with_nul).error, "invalid state: " + with_nul);
}

std::array<std::uint8_t, 16> v6_bytes(std::array<std::uint16_t, 8> groups) {
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < 8; ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(groups[i] >> 8);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(groups[i]);
    }
    return bytes;
}

TEST(ParseSocketAddress, AcceptedForms) {
    struct Row {
        const char* text;
        SocketAddress address;
    };
    const Row rows[] = {
        {"127.0.0.1:80", SocketAddress::v4({127, 0, 0, 1}, 80)},
        {"0.0.0.0:0", SocketAddress::v4({0, 0, 0, 0}, 0)},
        {"255.255.255.255:65535", SocketAddress::v4({255, 255, 255, 255}, 65535)},
        {"10.20.100.199:00080", SocketAddress::v4({10, 20, 100, 199}, 80)},
        {"[::1]:80", SocketAddress::v6(v6_bytes({0, 0, 0, 0, 0, 0, 0, 1}), 80)},
        {"[::]:0", SocketAddress::v6(v6_bytes({}), 0)},
        {"[fe80::1%4]:22", SocketAddress::v6(v6_bytes({0xfe80, 0, 0, 0, 0, 0, 0, 1}), 22, 0, 4)},
        {"[fe80::1%4294967295]:22",
         SocketAddress::v6(v6_bytes({0xfe80, 0, 0, 0, 0, 0, 0, 1}), 22, 0, 4294967295u)},
        {"[fe80::1%004]:22", SocketAddress::v6(v6_bytes({0xfe80, 0, 0, 0, 0, 0, 0, 1}), 22, 0, 4)},
        {"[1:2:3:4:5:6:7:8]:1", SocketAddress::v6(v6_bytes({1, 2, 3, 4, 5, 6, 7, 8}), 1)},
        {"[ABCD:ef01::0a]:1", SocketAddress::v6(v6_bytes({0xabcd, 0xef01, 0, 0, 0, 0, 0, 10}), 1)},
        {"[0000:0000:0000:0000:0000:0000:0000:0001]:1",
         SocketAddress::v6(v6_bytes({0, 0, 0, 0, 0, 0, 0, 1}), 1)},
        {"[1::]:1", SocketAddress::v6(v6_bytes({1, 0, 0, 0, 0, 0, 0, 0}), 1)},
        {"[1:2:3:4:5:6:7::]:1", SocketAddress::v6(v6_bytes({1, 2, 3, 4, 5, 6, 7, 0}), 1)},
        {"[::2:3:4:5:6:7:8]:1", SocketAddress::v6(v6_bytes({0, 2, 3, 4, 5, 6, 7, 8}), 1)},
        {"[::ffff:127.0.0.1]:8080",
         SocketAddress::v6(v6_bytes({0, 0, 0, 0, 0, 0xffff, 0x7f00, 1}), 8080)},
        {"[::10.0.0.1]:1", SocketAddress::v6(v6_bytes({0, 0, 0, 0, 0, 0, 0x0a00, 1}), 1)},
        {"[1:2:3:4:5:6:1.2.3.4]:1",
         SocketAddress::v6(v6_bytes({1, 2, 3, 4, 5, 6, 0x0102, 0x0304}), 1)},
        {"[1:2:3:4:5::1.2.3.4]:1",
         SocketAddress::v6(v6_bytes({1, 2, 3, 4, 5, 0, 0x0102, 0x0304}), 1)},
    };
    for (const Row& row : rows) {
        auto parsed = parse_socket_address(row.text);
        ASSERT_TRUE(parsed) << row.text;
        EXPECT_EQ(*parsed.value, row.address) << row.text;
        EXPECT_EQ(parsed.value->flowinfo, 0u);
    }
}

TEST(ParseSocketAddress, RejectedForms) {
    const char* rejected[] = {
        "",
        "127.0.0.1",
        "::1:80",
        "localhost:80",
        "127.000.0.1:80",
        "127.0.0.1:65536",
        " 127.0.0.1:80",
        "127.0.0.1:80 ",
        "127.0.0.01:80",
        "127.0.0.256:80",
        "127.0.0.1:",
        "127.0.0:80",
        "127.0.0.1.5:80",
        "127.0.0.1:+80",
        "127.0.0.1:-1",
        "127..0.1:80",
        "1.2.3.4:99999999999999999999",
        "0x7f.0.0.1:80",
        "127.0.0.1:80:80",
        // IPv6 forms
        "[::1]",
        "[::1]:",
        "[::1]80",
        "[::1] :80",
        "::1",
        "[]:80",
        "[:::]:80",
        "[1:::2]:80",
        "[::1::]:80",
        "[1::2::3]:80",
        "[1:2:3:4:5:6:7:8:9]:80",
        "[1:2:3:4:5:6:7]:80",
        "[1:2:3:4:5:6:7:8::]:80",
        "[::1:2:3:4:5:6:7:8]:80",
        "[12345::]:80",
        "[g::]:80",
        "[:1::]:80",
        "[::1:]:80",
        "[1:]:80",
        "[:1]:80",
        "[1.2.3.4::]:80",
        "[1.2.3.4::1]:80",
        "[::1.2.3.4:1]:80",
        "[1:2:3:4:5:6:7:1.2.3.4]:80",
        "[::ffff:1.2.3]:80",
        "[::ffff:01.2.3.4]:80",
        "[::ffff:1.2.3.256]:80",
        "[fe80::1%4294967296]:22",
        "[fe80::1%]:22",
        "[fe80::1%-1]:22",
        "[fe80::1%eth0]:22",
        "[fe80::1%4%5]:22",
        "[%4]:22",
        "[::1]:65536",
        "[::1]:80 ",
        "[[::1]]:80",
        "[::1]:80]",
        "[ ::1]:80",
    };
    for (const char* text : rejected) {
        auto parsed = parse_socket_address(text);
        EXPECT_FALSE(parsed) << text;
        EXPECT_EQ(parsed.error, "invalid socket address syntax") << text;
    }
}

TEST(ParseSocketAddress, ScopedAddressNeverEqualsAKernelAddress) {
    auto parsed = parse_socket_address("[fe80::1%4]:22");
    ASSERT_TRUE(parsed);
    std::uint8_t field[16] = {0xfe, 0x80};
    field[15] = 1;
    std::int32_t port_field = 0;
    const std::uint8_t port_bytes[4] = {0, 22, 0, 0};
    std::memcpy(&port_field, port_bytes, sizeof port_field);
    auto kernel = SocketAddress::from_kernel(AddressFamily::V6, field, port_field);
    EXPECT_EQ(socket_address_text(kernel), "[fe80::1]:22");
    EXPECT_NE(*parsed.value, kernel);
    EXPECT_EQ(*parse_socket_address("[fe80::1]:22").value, kernel);
}

TEST(ParseSocketAddress, CanonicalTextsRoundTrip) {
    const char* texts[] = {
        "127.0.0.1:631",
        "0.0.0.0:80",
        "[::]:80",
        "[::1]:8080",
        "[fe80::1%4]:22",
        "[::ffff:127.0.0.1]:8080",
        "[2001:db8::1:0:0:1]:443",
        "[::a00:1]:1",
        "[1:2:3:4:5:6:7:8]:65535",
        "[1::2:0:0:3:4]:9",
        "[2001:db8:0:1:1:1:1:1]:0",
    };
    for (const char* text : texts) {
        auto parsed = parse_socket_address(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(socket_address_text(*parsed.value), text);
    }
    // Non-canonical input prints canonically and parses back to the same address.
    for (const char* text :
         {"[0:0:0:0:0:0:0:1]:080", "[::FFFF:7F00:1]:1", "[::0:0:1]:2", "[1:0:0:2::3]:4"}) {
        auto parsed = parse_socket_address(text);
        ASSERT_TRUE(parsed) << text;
        std::string printed = socket_address_text(*parsed.value);
        auto reparsed = parse_socket_address(printed);
        ASSERT_TRUE(reparsed) << printed;
        EXPECT_EQ(*reparsed.value, *parsed.value) << printed;
    }
    EXPECT_EQ(socket_address_text(*parse_socket_address("[::FFFF:7F00:1]:1").value),
              "[::ffff:127.0.0.1]:1");
    EXPECT_EQ(socket_address_text(*parse_socket_address("[1:0:0:2::3]:4").value), "[1:0:0:2::3]:4");
}

}  // namespace
}  // namespace lumenstat
