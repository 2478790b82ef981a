// sources: src/os/linux/socket/socket_proc_net.cpp src/os/linux/socket/netlink_sock_diag.cpp src/os/linux/socket/sock_diag_dump.cpp src/os/linux/proc_files.cpp
// Hostile socket tables: /proc/net/{tcp,tcp6,udp,udp6} texts and sock_diag
// reply datagrams. Besides memory safety: no entry is kept under inode 0, a
// datagram's entries never outnumber its messages, a text's entries never
// outnumber its lines after the header, and only IPv6 sockets are dual-stack.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "os/linux/socket/socket_table.h"

namespace ls = lumenstat::os::linux_sockets;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t mode = data[0];
    ++data;
    --size;
    const bool ipv6 = mode & 1;
    const bool tcp = mode & 2;
    ls::SocketTable table;
    if (mode & 4) {
        bool done = false;
        auto bytes = std::span(reinterpret_cast<const std::byte*>(data), size);
        ls::parse_diag_datagram(bytes, tcp, table, done);
        // Every message takes at least a 16-byte header.
        if (table.size() > size / 16) std::abort();
    } else {
        std::string_view text(reinterpret_cast<const char*>(data), size);
        ls::parse_proc_net(text, ipv6, tcp, table, mode & 8);
        std::size_t lines = 0;
        for (char c : text) lines += c == '\n';
        if (table.size() > lines) std::abort();
    }
    for (const auto& [inode, socket] : table) {
        if (inode == 0 || (socket.dual_stack && !socket.ipv6)) std::abort();
    }
    return 0;
}
