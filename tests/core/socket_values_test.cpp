#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "socket/address_text.h"
#include "socket/values.h"

namespace lumenstat {
namespace {

std::array<std::uint8_t, 16> v6_bytes(std::array<std::uint16_t, 8> groups) {
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < 8; ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(groups[i] >> 8);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(groups[i]);
    }
    return bytes;
}

TEST(SocketStateTexts, EveryStateHasItsDiscriminantAndTexts) {
    struct Row {
        SocketState state;
        int discriminant;
        const char* display;
        const char* debug;
    };
    const Row rows[] = {
        {SocketState::Established, 1, "ESTABLISHED", "Established"},
        {SocketState::SynSent, 2, "SYN_SENT", "SynSent"},
        {SocketState::SynReceived, 3, "SYN_RECV", "SynReceived"},
        {SocketState::FinWait1, 4, "FIN_WAIT1", "FinWait1"},
        {SocketState::FinWait2, 5, "FIN_WAIT2", "FinWait2"},
        {SocketState::TimeWait, 6, "TIME_WAIT", "TimeWait"},
        {SocketState::Closed, 7, "CLOSED", "Closed"},
        {SocketState::CloseWait, 8, "CLOSE_WAIT", "CloseWait"},
        {SocketState::LastAck, 9, "LAST_ACK", "LastAck"},
        {SocketState::Listen, 10, "LISTEN", "Listen"},
        {SocketState::Closing, 11, "CLOSING", "Closing"},
        {SocketState::Unknown, 12, "UNKNOWN", "Unknown"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(static_cast<int>(row.state), row.discriminant);
        EXPECT_EQ(state_display_text(row.state), row.display);
        EXPECT_EQ(state_debug_text(row.state), row.debug);
    }
    EXPECT_EQ(kAllSocketStates.size(), std::size(rows));
}

TEST(SocketStateTexts, KernelTableAndValuesOutsideIt) {
    const SocketState expected[] = {
        SocketState::Closed,      SocketState::Listen,      SocketState::SynSent,
        SocketState::SynReceived, SocketState::Established, SocketState::CloseWait,
        SocketState::FinWait1,    SocketState::Closing,     SocketState::LastAck,
        SocketState::FinWait2,    SocketState::TimeWait,
    };
    for (int value = 0; value <= 10; ++value) {
        EXPECT_EQ(state_from_kernel(value), expected[value]) << value;
    }
    for (int value : {11, 12, 255, -1, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(state_from_kernel(value), SocketState::Unknown) << value;
    }
    EXPECT_EQ(state_display_text(state_from_kernel(11)), "UNKNOWN");
}

TEST(ProtocolTexts, EveryProtocol) {
    struct Row {
        Protocol protocol;
        int value;
        const char* text;
        const char* debug;
    };
    const Row rows[] = {
        {Protocol::TcpV4, 0, "tcp", "TcpV4"},
        {Protocol::TcpV6, 1, "tcp6", "TcpV6"},
        {Protocol::UdpV4, 2, "udp", "UdpV4"},
        {Protocol::UdpV6, 3, "udp6", "UdpV6"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(static_cast<int>(row.protocol), row.value);
        EXPECT_EQ(protocol_text(row.protocol), row.text);
        EXPECT_EQ(protocol_debug_text(row.protocol), row.debug);
    }
}

TEST(IpAddressText, Ipv6CanonicalForms) {
    struct Row {
        std::array<std::uint16_t, 8> groups;
        const char* text;
    };
    const Row rows[] = {
        {{0, 0, 0, 0, 0, 0, 0, 0}, "::"},
        {{0, 0, 0, 0, 0, 0, 0, 1}, "::1"},
        {{1, 0, 0, 0, 0, 0, 0, 0}, "1::"},
        {{0xfe80, 0, 0, 0, 0, 0, 0, 1}, "fe80::1"},
        // The longest run wins, the first of equally long ones.
        {{0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}, "2001:db8::1:0:0:1"},
        {{0x2001, 0, 0, 1, 0, 0, 0, 1}, "2001:0:0:1::1"},
        {{1, 0, 0, 2, 0, 0, 3, 4}, "1::2:0:0:3:4"},
        // A single zero group is not compressed.
        {{0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}, "2001:db8:0:1:1:1:1:1"},
        {{1, 2, 3, 4, 5, 6, 7, 0}, "1:2:3:4:5:6:7:0"},
        // Lower case, no leading zeros.
        {{0xABCD, 0x00ef, 0x0a0b, 0xffff, 0x0010, 0x0100, 0x1000, 0x000f},
         "abcd:ef:a0b:ffff:10:100:1000:f"},
        // Mapped IPv4 is special; compatible IPv4 is not.
        {{0, 0, 0, 0, 0, 0xffff, 0x0a00, 0x0001}, "::ffff:10.0.0.1"},
        {{0, 0, 0, 0, 0, 0xffff, 0, 0}, "::ffff:0.0.0.0"},
        {{0, 0, 0, 0, 0, 0, 0x0a00, 0x0001}, "::a00:1"},
        {{0, 0, 0, 0, 1, 0xffff, 0x0a00, 0x0001}, "::1:ffff:a00:1"},
        {{0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff},
         "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ip_address_text(SocketAddress::v6(v6_bytes(row.groups), 0)), row.text);
    }
}

TEST(SocketAddressText, Forms) {
    struct Row {
        SocketAddress address;
        const char* text;
    };
    const Row rows[] = {
        {SocketAddress::v4({127, 0, 0, 1}, 631), "127.0.0.1:631"},
        {SocketAddress::v4({0, 0, 0, 0}, 80), "0.0.0.0:80"},
        {SocketAddress::v4({255, 255, 255, 255}, 65535), "255.255.255.255:65535"},
        {SocketAddress::v6(v6_bytes({0, 0, 0, 0, 0, 0, 0, 1}), 8080), "[::1]:8080"},
        {SocketAddress::v6(v6_bytes({}), 80), "[::]:80"},
        {SocketAddress::v6(v6_bytes({0, 0, 0, 0, 0, 0xffff, 0x7f00, 1}), 8080),
         "[::ffff:127.0.0.1]:8080"},
        {SocketAddress::v6(v6_bytes({0xfe80, 0, 0, 0, 0, 0, 0, 1}), 22, 0, 4), "[fe80::1%4]:22"},
        // Flow information never shows.
        {SocketAddress::v6(v6_bytes({0xfe80, 0, 0, 0, 0, 0, 0, 1}), 0, 7, 4294967295u),
         "[fe80::1%4294967295]:0"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(socket_address_text(row.address), row.text);
    }
}

TEST(SocketAddressText, LongestTextsFitTheBuffer) {
    SocketAddress longest = SocketAddress::v6(
        v6_bytes({0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff}), 65535, 0,
        4294967295u);
    char buffer[kSocketAddressTextMax + 1];
    std::memset(buffer, '#', sizeof buffer);
    std::size_t length = write_socket_address_text(longest, buffer);
    EXPECT_EQ(length, kSocketAddressTextMax);
    EXPECT_EQ(buffer[kSocketAddressTextMax], '#');
    EXPECT_EQ(std::string(buffer, length),
              "[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967295]:65535");
}

TEST(SocketAddress, FromKernelFields) {
    std::uint8_t field[16] = {};
    field[12] = 10;
    field[15] = 7;
    // The port's bytes lead the 32-bit field in network order, as the kernel stores it.
    std::int32_t port_field = 0;
    const std::uint8_t port_bytes[4] = {0x1f, 0x90, 0, 0};
    std::memcpy(&port_field, port_bytes, sizeof port_field);

    SocketAddress v4 = SocketAddress::from_kernel(AddressFamily::V4, field, port_field);
    EXPECT_EQ(v4, SocketAddress::v4({10, 0, 0, 7}, 8080));
    EXPECT_EQ(socket_address_text(v4), "10.0.0.7:8080");

    SocketAddress v6 = SocketAddress::from_kernel(AddressFamily::V6, field, port_field);
    EXPECT_EQ(socket_address_text(v6), "[::a00:7]:8080");
    EXPECT_EQ(v6.flowinfo, 0u);
    EXPECT_EQ(v6.scope_id, 0u);
}

TEST(SocketAddress, EqualityComparesFamilyAndEveryField) {
    auto base = SocketAddress::v6(v6_bytes({0xfe80, 0, 0, 0, 0, 0, 0, 1}), 22);
    EXPECT_EQ(base, SocketAddress::v6(v6_bytes({0xfe80, 0, 0, 0, 0, 0, 0, 1}), 22));
    EXPECT_NE(base, SocketAddress::v6(v6_bytes({0xfe80, 0, 0, 0, 0, 0, 0, 1}), 22, 0, 4));
    EXPECT_NE(base, SocketAddress::v6(v6_bytes({0xfe80, 0, 0, 0, 0, 0, 0, 1}), 22, 1, 0));
    EXPECT_NE(base, SocketAddress::v6(v6_bytes({0xfe80, 0, 0, 0, 0, 0, 0, 1}), 23));
    EXPECT_NE(base, SocketAddress::v6(v6_bytes({0xfe80, 0, 0, 0, 0, 0, 0, 2}), 22));
    // A mapped IPv6 address is not the IPv4 address it maps.
    auto mapped = SocketAddress::v6(v6_bytes({0, 0, 0, 0, 0, 0xffff, 0x7f00, 1}), 8080);
    EXPECT_NE(mapped, SocketAddress::v4({127, 0, 0, 1}, 8080));
    EXPECT_NE(SocketAddress::v4({127, 0, 0, 1}, 80), SocketAddress::v4({127, 0, 0, 2}, 80));
}

TEST(SocketConnectionDebugText, ExactForms) {
    SocketConnection listener{Protocol::TcpV4,
                              SocketAddress::v4({127, 0, 0, 1}, 631),
                              std::nullopt,
                              SocketState::Listen,
                              312u,
                              0};
    EXPECT_EQ(debug_text(listener),
              "SocketConnection { protocol: TcpV4, local_addr: 127.0.0.1:631, remote_addr: None, "
              "state: Listen, pid: Some(312), inode: 0 }");

    SocketConnection connected{Protocol::TcpV6,
                               SocketAddress::v6(v6_bytes({0, 0, 0, 0, 0, 0, 0, 1}), 8080),
                               SocketAddress::v6(v6_bytes({0, 0, 0, 0, 0, 0, 0, 1}), 51000),
                               SocketState::SynReceived,
                               std::nullopt,
                               18446744073709551615u};
    EXPECT_EQ(debug_text(connected),
              "SocketConnection { protocol: TcpV6, local_addr: [::1]:8080, remote_addr: "
              "Some([::1]:51000), state: SynReceived, pid: None, inode: 18446744073709551615 }");
}

}  // namespace
}  // namespace lumenstat
