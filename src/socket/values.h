// The values every socket query shares: states, protocols, socket addresses and the socket
// records, with their fixed text forms.
//
// Kept free of <expected> (and so of error.h): the parsers build on this header and are fuzzed
// with a toolchain whose standard library lacks it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumenstat {

// Discriminants are fixed: they index the text tables.
enum class SocketState : std::uint8_t {
    Established = 1,
    SynSent = 2,
    SynReceived = 3,
    FinWait1 = 4,
    FinWait2 = 5,
    TimeWait = 6,
    Closed = 7,
    CloseWait = 8,
    LastAck = 9,
    Listen = 10,
    Closing = 11,
    Unknown = 12,
};

inline constexpr std::array<SocketState, 12> kAllSocketStates = {
    SocketState::Established, SocketState::SynSent,   SocketState::SynReceived,
    SocketState::FinWait1,    SocketState::FinWait2,  SocketState::TimeWait,
    SocketState::Closed,      SocketState::CloseWait, SocketState::LastAck,
    SocketState::Listen,      SocketState::Closing,   SocketState::Unknown,
};

// "ESTABLISHED", "SYN_RECV", ...: the text Python sees.
std::string_view state_display_text(SocketState state);
// "Established", "SynReceived", ...: the variant name, used in debug lines.
std::string_view state_debug_text(SocketState state);

// The kernel's TCP state (tcpsi_state, Darwin numbering 0..10); anything else is Unknown.
SocketState state_from_kernel(std::int32_t tcpsi_state);

enum class Protocol : std::uint8_t {
    TcpV4 = 0,
    TcpV6 = 1,
    UdpV4 = 2,
    UdpV6 = 3,
};

inline constexpr std::array<Protocol, 4> kAllProtocols = {
    Protocol::TcpV4,
    Protocol::TcpV6,
    Protocol::UdpV4,
    Protocol::UdpV6,
};

// "tcp", "tcp6", "udp", "udp6".
std::string_view protocol_text(Protocol protocol);
// "TcpV4", "TcpV6", "UdpV4", "UdpV6".
std::string_view protocol_debug_text(Protocol protocol);

enum class AddressFamily : std::uint8_t { V4, V6 };

// An IPv4 or IPv6 address with its port (host byte order). An IPv4 address sits in the first
// 4 bytes of `bytes`; the other 12 bytes, `flowinfo` and `scope_id` are then always zero, which
// the factories guarantee and equality relies on only loosely (it ignores them for IPv4).
struct SocketAddress {
    AddressFamily family = AddressFamily::V4;
    std::array<std::uint8_t, 16> bytes{};
    std::uint16_t port = 0;
    std::uint32_t flowinfo = 0;
    std::uint32_t scope_id = 0;

    static SocketAddress v4(std::array<std::uint8_t, 4> octets, std::uint16_t port);
    static SocketAddress v6(const std::array<std::uint8_t, 16>& octets, std::uint16_t port,
                            std::uint32_t flowinfo = 0, std::uint32_t scope_id = 0);

    // From the kernel's 16-byte address field (an IPv4 socket uses its last 4 bytes) and its
    // 32-bit port field, whose low 16 bits hold the port in network byte order.
    static SocketAddress from_kernel(AddressFamily family, const std::uint8_t (&addr)[16],
                                     std::int32_t port_field);
    // The port held in a kernel port field (insi_lport, insi_fport), in host byte order.
    static std::uint16_t port_from_kernel(std::int32_t port_field);

    bool is_v4() const { return family == AddressFamily::V4; }
    bool is_v6() const { return family == AddressFamily::V6; }

    friend bool operator==(const SocketAddress& a, const SocketAddress& b);
};

// One socket held through one descriptor of one process.
struct SocketConnection {
    Protocol protocol = Protocol::TcpV4;
    SocketAddress local_addr;
    std::optional<SocketAddress> remote_addr;
    SocketState state = SocketState::Unknown;
    std::optional<std::uint32_t> pid;
    std::uint64_t inode = 0;

    friend bool operator==(const SocketConnection&, const SocketConnection&) = default;
};

// SocketConnection { protocol: TcpV4, local_addr: 127.0.0.1:631, remote_addr: None,
// state: Listen, pid: Some(312), inode: 0 }
std::string debug_text(const SocketConnection& connection);

// A socket a tracker reports; the same fields as SocketConnection.
struct SocketConnectionEvent {
    Protocol protocol = Protocol::TcpV4;
    SocketAddress local_addr;
    std::optional<SocketAddress> remote_addr;
    SocketState state = SocketState::Unknown;
    std::optional<std::uint32_t> pid;
    std::uint64_t inode = 0;

    static SocketConnectionEvent from(const SocketConnection& connection);

    friend bool operator==(const SocketConnectionEvent&, const SocketConnectionEvent&) = default;
};

// Counts over one enumeration of every socket.
struct SocketStateSummary {
    std::uint64_t total = 0;
    std::uint64_t established = 0;
    std::uint64_t listen = 0;
    std::uint64_t time_wait = 0;
    std::uint64_t close_wait = 0;

    friend bool operator==(const SocketStateSummary&, const SocketStateSummary&) = default;
};

// One TCP or UDP socket of one process with its buffer fill.
struct SocketQueueInfo {
    std::uint32_t pid = 0;
    std::uint32_t fd = 0;
    Protocol protocol = Protocol::TcpV4;
    SocketAddress local_addr;
    std::optional<SocketAddress> remote_addr;
    SocketState state = SocketState::Unknown;
    std::uint32_t recv_queue_bytes = 0;
    std::uint32_t recv_queue_hiwat = 0;
    std::uint32_t send_queue_bytes = 0;
    std::uint32_t send_queue_hiwat = 0;

    friend bool operator==(const SocketQueueInfo&, const SocketQueueInfo&) = default;
};

// One TCP socket of one process with its traffic counters (0 when unknown).
struct SocketStats {
    std::uint32_t pid = 0;
    std::uint32_t fd = 0;
    Protocol protocol = Protocol::TcpV4;
    SocketAddress local_addr;
    std::optional<SocketAddress> remote_addr;
    std::uint64_t bytes_sent = 0;
    std::uint64_t bytes_received = 0;

    friend bool operator==(const SocketStats&, const SocketStats&) = default;
};

}  // namespace lumenstat
