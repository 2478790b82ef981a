// TCP sockets of this network namespace with their payload byte counts, from
// one netlink sock_diag dump with the kernel's TCP information record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>

namespace lumenstat::nettop {

struct TcpConnection {
    bool ipv6 = false;
    std::uint8_t state = 0;       // Linux TCP state (1 ESTABLISHED ... 10 LISTEN ...)
    std::uint8_t local[16] = {};  // an IPv4 address in the first four bytes
    std::uint8_t remote[16] = {};
    std::uint16_t local_port = 0;  // host byte order
    std::uint16_t remote_port = 0;
    std::uint64_t bytes_sent = 0;
    std::uint64_t bytes_received = 0;
};

// Keyed by socket inode.
using TcpConnections = std::unordered_map<std::uint64_t, TcpConnection>;

// The payload bytes sent and received, from a struct tcp_info of `info.size()`
// bytes (older kernels write a shorter one) of a socket in Linux TCP `state`.
// The kernel's sequence-based counters also count the peer's FIN once it is
// received, which is not a byte of data: it is taken off. A counter this
// kernel does not report reads 0.
void payload_counts(std::span<const std::byte> info, std::uint8_t state, TcpConnection& connection);

// The connections among the sockets with the inodes `wanted` (in ascending
// order), from one dump of the kernel's TCP tables; false with errno set when
// netlink fails or the dump stalls (EAGAIN).
bool read_tcp_connections(std::span<const std::uint64_t> wanted, TcpConnections& connections);

}  // namespace lumenstat::nettop
