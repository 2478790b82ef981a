// The kernel's table of TCP and UDP sockets, keyed by socket inode: what
// proc_pidfdinfo(PROC_PIDFDSOCKETINFO) needs to describe a descriptor that
// reads "socket:[INODE]". Read whole from netlink sock_diag, or from
// /proc/net/{tcp,tcp6,udp,udp6} when netlink is not available.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>

namespace lumenstat::os::linux_sockets {

// One socket as Linux reports it. Addresses are in network byte order, an
// IPv4 address in the first four bytes; ports are network byte order too.
struct KernelSocket {
    bool ipv6 = false;
    // An IPv6 socket that takes IPv4 traffic: one without IPV6_V6ONLY that
    // listens or is not connected, or one with an IPv4-mapped address.
    bool dual_stack = false;
    bool tcp = false;
    std::uint8_t state = 0;  // Linux TCP state (1 ESTABLISHED ... 10 LISTEN ...)
    std::uint8_t local[16] = {};
    std::uint8_t remote[16] = {};
    std::uint16_t local_port = 0;
    std::uint16_t remote_port = 0;
    std::uint32_t recv_queue = 0;
    std::uint32_t send_queue = 0;
    std::uint32_t recv_buffer = 0;  // 0 when the source does not report it
    std::uint32_t send_buffer = 0;
};

using SocketTable = std::unordered_map<std::uint64_t, KernelSocket>;

inline constexpr std::uint8_t LINUX_TCP_CLOSE = 7;  // also an unconnected UDP socket
inline constexpr std::uint8_t LINUX_TCP_LISTEN = 10;

// Whether an IPv6 socket's address is an IPv4 address mapped into IPv6
// (::ffff:a.b.c.d), which only a socket that takes IPv4 traffic can have.
inline bool has_v4_mapped_address(const KernelSocket& socket) {
    constexpr std::uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(socket.local, prefix, sizeof prefix) == 0 ||
           std::memcmp(socket.remote, prefix, sizeof prefix) == 0;
}

// The four tables, one for each of IPv4/IPv6 x TCP/UDP.
struct TableKind {
    bool ipv6;
    bool tcp;
};
inline constexpr TableKind TABLE_KINDS[] = {
    {false, true}, {true, true}, {false, false}, {true, false}};

// Adds one table read through a netlink sock_diag dump to `table`. False with
// errno set when netlink or the dump fails; `table` may then hold part of it.
bool read_netlink(TableKind kind, SocketTable& table);

// Adds the IPv4 and IPv6 TCP tables read through one netlink dump, without
// the sockets that are only bound.
bool read_netlink_tcp(SocketTable& table);

// Adds the TCP sockets of both families that are bound but neither listen nor
// connect (none before Linux 6.8, which does not report them).
bool read_netlink_tcp_bound_inactive(SocketTable& table);

// Adds the sockets of the reply to a dump request sent on `fd`, up to its end
// marker. False with errno set on failure (EAGAIN for a stall, see
// sock_diag_dump.h).
bool receive_dump(int fd, bool tcp, SocketTable& table);

// Adds one table read from /proc/net/{tcp,tcp6,udp,udp6}. False with errno
// set when the file cannot be read.
bool read_proc_net(TableKind kind, SocketTable& table);

// The tables of a protocol, both families: bits of read_kernel_sockets.
inline constexpr unsigned kTcpTables = 1;
inline constexpr unsigned kUdpTables = 2;

// Adds the tables of `protocols`, each from netlink or, when that fails, from
// /proc/net; without the TCP sockets that are only bound.
void read_kernel_sockets(unsigned protocols, SocketTable& table);

// All four tables.
SocketTable read_kernel_sockets();

// Which tables can hold the socket behind descriptor `fd` of `pid`, from its
// protocol's name ("TCP", "UDPv6", "UNIX", ...): kTcpTables, kUdpTables, 0
// for a socket no table holds, or nullopt when the name cannot be read.
std::optional<unsigned> tables_holding(int pid, int fd);

// Adds the sockets of one reply datagram of a sock_diag dump to `table`.
// Returns false on a malformed message or an error reply; `done` becomes true
// at the dump's end marker.
bool parse_diag_datagram(std::span<const std::byte> datagram, bool tcp, SocketTable& table,
                         bool& done);

// Adds the sockets of one /proc/net/{tcp,tcp6,udp,udp6} text; lines that do
// not parse are skipped. The text does not say which IPv6 sockets are
// IPV6_V6ONLY: those bound to the wildcard address and not connected are taken
// as `dual_stack_by_default` says (the system's default for new sockets).
void parse_proc_net(std::string_view text, bool ipv6, bool tcp, SocketTable& table,
                    bool dual_stack_by_default = false);

}  // namespace lumenstat::os::linux_sockets
