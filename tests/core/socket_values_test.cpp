#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "socket/address_text.h"
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

const std::array<std::uint8_t, 16> kFe80_1 = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

TEST(SocketAddress, EqualityComparesFamilyAndEveryField) {
    auto base = SocketAddress::v6(kFe80_1, 22);
    EXPECT_EQ(base, SocketAddress::v6(kFe80_1, 22));
    auto other = kFe80_1;
    other[15] = 2;
    std::array<std::uint8_t, 16> mapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
    for (const SocketAddress& different :
         {SocketAddress::v6(kFe80_1, 22, 0, 4), SocketAddress::v6(kFe80_1, 22, 1, 0),
          SocketAddress::v6(kFe80_1, 23), SocketAddress::v6(other, 22)}) {
        EXPECT_NE(base, different) << socket_address_text(different);
    }
    // A mapped IPv6 address is not the IPv4 address it maps.
    EXPECT_NE(SocketAddress::v6(mapped, 80), SocketAddress::v4({127, 0, 0, 1}, 80));
    EXPECT_NE(SocketAddress::v4({127, 0, 0, 1}, 80), SocketAddress::v4({127, 0, 0, 2}, 80));
    EXPECT_NE(SocketAddress::v4({127, 0, 0, 1}, 80), SocketAddress::v4({127, 0, 0, 1}, 81));
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

TEST(SocketConnectionDebugText, OptionalsAndLargestInode) {
    std::array<std::uint8_t, 16> loopback{};
    loopback[15] = 1;
    SocketConnection connected{Protocol::TcpV6,
                               SocketAddress::v6(loopback, 8080),
                               SocketAddress::v6(loopback, 51000),
                               SocketState::SynReceived,
                               std::nullopt,
                               18446744073709551615u};
    EXPECT_EQ(debug_text(connected),
              "SocketConnection { protocol: TcpV6, local_addr: [::1]:8080, remote_addr: "
              "Some([::1]:51000), state: SynReceived, pid: None, inode: 18446744073709551615 }");
}

}  // namespace
}  // namespace lumenstat
