#include "socket/values.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "socket/address_text.h"

namespace lumenstat {
namespace {

struct StateTexts {
    std::string_view display;
    std::string_view debug;
};

// Indexed by discriminant - 1.
constexpr std::array<StateTexts, 12> kStateTexts = {{
    {"ESTABLISHED", "Established"},
    {"SYN_SENT", "SynSent"},
    {"SYN_RECV", "SynReceived"},
    {"FIN_WAIT1", "FinWait1"},
    {"FIN_WAIT2", "FinWait2"},
    {"TIME_WAIT", "TimeWait"},
    {"CLOSED", "Closed"},
    {"CLOSE_WAIT", "CloseWait"},
    {"LAST_ACK", "LastAck"},
    {"LISTEN", "Listen"},
    {"CLOSING", "Closing"},
    {"UNKNOWN", "Unknown"},
}};

// Indexed by the kernel's TCP state number.
constexpr std::array<SocketState, 11> kKernelStates = {
    SocketState::Closed,      SocketState::Listen,      SocketState::SynSent,
    SocketState::SynReceived, SocketState::Established, SocketState::CloseWait,
    SocketState::FinWait1,    SocketState::Closing,     SocketState::LastAck,
    SocketState::FinWait2,    SocketState::TimeWait,
};

constexpr std::array<std::string_view, 4> kProtocolTexts = {"tcp", "tcp6", "udp", "udp6"};
constexpr std::array<std::string_view, 4> kProtocolDebugTexts = {"TcpV4", "TcpV6", "UdpV4",
                                                                 "UdpV6"};

const StateTexts& texts_of(SocketState state) {
    auto index = static_cast<std::size_t>(state) - 1;
    // A value outside the enumeration can only come from a cast; show it as Unknown.
    if (index >= kStateTexts.size()) index = kStateTexts.size() - 1;
    return kStateTexts[index];
}

std::size_t protocol_index(Protocol protocol) {
    return std::min<std::size_t>(static_cast<std::size_t>(protocol), kProtocolTexts.size() - 1);
}

void append_address(std::string& out, const SocketAddress& address) {
    char buffer[kSocketAddressTextMax];
    out.append(buffer, write_socket_address_text(address, buffer));
}

}  // namespace

std::string_view state_display_text(SocketState state) { return texts_of(state).display; }

std::string_view state_debug_text(SocketState state) { return texts_of(state).debug; }

SocketState state_from_kernel(std::int32_t tcpsi_state) {
    if (tcpsi_state < 0 || tcpsi_state >= static_cast<std::int32_t>(kKernelStates.size())) {
        return SocketState::Unknown;
    }
    return kKernelStates[static_cast<std::size_t>(tcpsi_state)];
}

std::string_view protocol_text(Protocol protocol) {
    return kProtocolTexts[protocol_index(protocol)];
}

std::string_view protocol_debug_text(Protocol protocol) {
    return kProtocolDebugTexts[protocol_index(protocol)];
}

SocketAddress SocketAddress::v4(std::array<std::uint8_t, 4> octets, std::uint16_t port) {
    SocketAddress address;
    address.family = AddressFamily::V4;
    std::copy(octets.begin(), octets.end(), address.bytes.begin());
    address.port = port;
    return address;
}

SocketAddress SocketAddress::v6(const std::array<std::uint8_t, 16>& octets, std::uint16_t port,
                                std::uint32_t flowinfo, std::uint32_t scope_id) {
    SocketAddress address;
    address.family = AddressFamily::V6;
    address.bytes = octets;
    address.port = port;
    address.flowinfo = flowinfo;
    address.scope_id = scope_id;
    return address;
}

std::uint16_t SocketAddress::port_from_kernel(std::int32_t port_field) {
    // The field's first two bytes in memory are the port, most significant first; on a
    // little-endian machine those are the low 16 bits of the native value, byte-swapped.
    auto raw = static_cast<std::uint16_t>(static_cast<std::uint32_t>(port_field) & 0xffffu);
    if constexpr (std::endian::native == std::endian::little) {
        return static_cast<std::uint16_t>((raw >> 8) | (raw << 8));
    } else {
        return raw;
    }
}

SocketAddress SocketAddress::from_kernel(AddressFamily family, const std::uint8_t (&addr)[16],
                                         std::int32_t port_field) {
    std::uint16_t port = port_from_kernel(port_field);
    if (family == AddressFamily::V4) {
        return v4({addr[12], addr[13], addr[14], addr[15]}, port);
    }
    std::array<std::uint8_t, 16> octets;
    std::memcpy(octets.data(), addr, octets.size());
    return v6(octets, port);
}

bool operator==(const SocketAddress& a, const SocketAddress& b) {
    if (a.family != b.family || a.port != b.port) return false;
    if (a.family == AddressFamily::V4) {
        return std::equal(a.bytes.begin(), a.bytes.begin() + 4, b.bytes.begin());
    }
    return a.bytes == b.bytes && a.flowinfo == b.flowinfo && a.scope_id == b.scope_id;
}

std::string debug_text(const SocketConnection& connection) {
    std::string out;
    out.reserve(160);
    out += "SocketConnection { protocol: ";
    out += protocol_debug_text(connection.protocol);
    out += ", local_addr: ";
    append_address(out, connection.local_addr);
    out += ", remote_addr: ";
    if (connection.remote_addr) {
        out += "Some(";
        append_address(out, *connection.remote_addr);
        out += ')';
    } else {
        out += "None";
    }
    out += ", state: ";
    out += state_debug_text(connection.state);
    out += ", pid: ";
    if (connection.pid) {
        out += "Some(";
        out += std::to_string(*connection.pid);
        out += ')';
    } else {
        out += "None";
    }
    out += ", inode: ";
    out += std::to_string(connection.inode);
    out += " }";
    return out;
}

SocketConnectionEvent SocketConnectionEvent::from(const SocketConnection& connection) {
    return {connection.protocol, connection.local_addr, connection.remote_addr,
            connection.state,    connection.pid,        connection.inode};
}

}  // namespace lumenstat
