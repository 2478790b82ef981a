// Text forms of IP and socket addresses: IPv4 dotted decimal, IPv6 in the canonical form of
// RFC 5952, "1.2.3.4:80", "[::1]:8080", "[fe80::1%4]:22".
//
// Listings print thousands of addresses, so the writers fill caller-provided char buffers; the
// std::string forms are thin conveniences over them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "socket/values.h"

namespace lumenstat {

// Longest IP text: "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff" (39) or
// "::ffff:255.255.255.255" (22).
inline constexpr std::size_t kIpTextMax = 39;
// "[" + IP text + "%4294967295" + "]:65535".
inline constexpr std::size_t kSocketAddressTextMax = 1 + kIpTextMax + 11 + 2 + 5;

// Each writer stores its text at `out` (no terminating NUL) and returns its length; `out` must
// have room for the maximum above.
std::size_t write_ipv4_text(const std::uint8_t* octets, char* out);
std::size_t write_ipv6_text(const std::uint8_t* octets, char* out);
std::size_t write_ip_text(const SocketAddress& address, char* out);
std::size_t write_socket_address_text(const SocketAddress& address, char* out);

std::string ip_address_text(const SocketAddress& address);
std::string socket_address_text(const SocketAddress& address);

}  // namespace lumenstat
