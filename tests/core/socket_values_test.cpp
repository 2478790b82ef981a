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

}  // namespace
}  // namespace lumenstat
