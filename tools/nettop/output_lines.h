// What the traffic tool prints: a header line, then one line per TCP
// connection of the process, comma-separated:
//   fd,connection,inode,state,bytes_in,bytes_out
//   3,tcp4 127.0.0.1:52100<->127.0.0.1:8080,81234,ESTABLISHED,3000,5000
//   5,tcp6 ::1.8080<->*.*,81240,LISTEN,0,0
// IPv6 endpoints put "." before the port, as colons already part the
// address; an unconnected remote end is "*:*" (IPv4) or "*.*" (IPv6).
#pragma once

#include <cstdint>
#include <string>

#include "tcp_connections.h"

namespace lumenstat::nettop {

inline constexpr const char* kHeaderLine = "fd,connection,inode,state,bytes_in,bytes_out\n";

void append_connection_line(std::string& out, int fd, std::uint64_t inode,
                            const TcpConnection& connection);

}  // namespace lumenstat::nettop
