// The socket table from netlink sock_diag: one dump per family and protocol,
// each socket with its queues and, through SK_MEMINFO, its buffer sizes.
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "os/linux/socket/sock_diag_dump.h"
#include "os/linux/socket/socket_table.h"
#include "os/linux/unique_fd.h"

namespace lumenstat::os::linux_sockets {

namespace {

// TIME_WAIT and NEW_SYN_RECV entries are not full sockets: they have no
// inode, so no descriptor can refer to them. Sockets that are bound but
// neither listen nor connect (state bit 13, reported since Linux 6.8 and
// asked for only there) are asked for apart: finding them walks the whole
// bind hash table.
constexpr std::uint32_t kTcpBoundInactive = 1u << 13;
constexpr std::uint32_t kTcpStates = ~((1u << 6) | (1u << 12) | kTcpBoundInactive);

std::uint32_t read_u32(const std::byte* at) {
    std::uint32_t value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

// One inet_diag_msg with its attributes; `payload` is the message after its
// netlink header.
bool add_socket(std::span<const std::byte> payload, bool tcp, SocketTable& table) {
    if (payload.size() < sizeof(inet_diag_msg)) {
        return false;
    }
    inet_diag_msg msg;
    std::memcpy(&msg, payload.data(), sizeof(msg));
    if (msg.idiag_family != AF_INET && msg.idiag_family != AF_INET6) {
        return false;
    }
    KernelSocket socket;
    socket.ipv6 = msg.idiag_family == AF_INET6;
    socket.tcp = tcp;
    socket.state = msg.idiag_state;
    std::memcpy(socket.local, msg.id.idiag_src, 16);
    std::memcpy(socket.remote, msg.id.idiag_dst, 16);
    socket.local_port = msg.id.idiag_sport;
    socket.remote_port = msg.id.idiag_dport;
    socket.recv_queue = msg.idiag_rqueue;
    socket.send_queue = msg.idiag_wqueue;

    const bool attributes_whole = sock_diag::for_each_attribute(
        payload, [&socket](std::uint16_t type, std::span<const std::byte> data) {
            if (type == INET_DIAG_SKMEMINFO &&
                data.size() >= (SK_MEMINFO_SNDBUF + 1) * sizeof(std::uint32_t)) {
                socket.recv_buffer =
                    read_u32(data.data() + SK_MEMINFO_RCVBUF * sizeof(std::uint32_t));
                socket.send_buffer =
                    read_u32(data.data() + SK_MEMINFO_SNDBUF * sizeof(std::uint32_t));
            }
            // Given for listening and unconnected sockets only.
            if (type == INET_DIAG_SKV6ONLY && !data.empty()) {
                socket.dual_stack = socket.ipv6 && std::to_integer<int>(data[0]) == 0;
            }
        });
    if (!attributes_whole) {
        return false;
    }
    socket.dual_stack = socket.dual_stack || (socket.ipv6 && has_v4_mapped_address(socket));
    if (msg.idiag_inode != 0) {
        table.insert_or_assign(msg.idiag_inode, socket);
    }
    return true;
}

// Adds each socket message of a dump to a table.
class TableSink final : public sock_diag::MessageSink {
public:
    TableSink(bool tcp, SocketTable& table) : tcp_(tcp), table_(table) {}
    bool take(std::span<const std::byte> payload) override {
        return add_socket(payload, tcp_, table_);
    }

private:
    bool tcp_;
    SocketTable& table_;
};

constexpr std::uint8_t kMemoryInfo = 1u << (INET_DIAG_SKMEMINFO - 1);

bool read_tcp_dump(std::uint32_t states, SocketTable& table) {
    const UniqueFd netlink = sock_diag::open_diag_socket();
    return netlink.get() >= 0 &&
           sock_diag::send_tcp_dump_request(netlink.get(), states, kMemoryInfo) &&
           receive_dump(netlink.get(), true, table);
}

}  // namespace

bool receive_dump(int fd, bool tcp, SocketTable& table) {
    TableSink sink(tcp, table);
    return sock_diag::receive_dump(fd, sink);
}

bool parse_diag_datagram(std::span<const std::byte> datagram, bool tcp, SocketTable& table,
                         bool& done) {
    TableSink sink(tcp, table);
    return sock_diag::parse_datagram(datagram, sink, done);
}

bool read_netlink(TableKind kind, SocketTable& table) {
    const UniqueFd netlink = sock_diag::open_diag_socket();
    return netlink.get() >= 0 &&
           sock_diag::send_dump_request(netlink.get(), kind.ipv6 ? AF_INET6 : AF_INET,
                                        kind.tcp ? IPPROTO_TCP : IPPROTO_UDP,
                                        kind.tcp ? kTcpStates : ~0u, kMemoryInfo) &&
           receive_dump(netlink.get(), kind.tcp, table);
}

bool read_netlink_tcp(SocketTable& table) { return read_tcp_dump(kTcpStates, table); }

bool read_netlink_tcp_bound_inactive(SocketTable& table) {
    // An older kernel ignores the bit and would walk its connection table for
    // nothing.
    static const bool reported = [] {
        utsname name{};
        unsigned major = 0;
        unsigned minor = 0;
        return ::uname(&name) == 0 && std::sscanf(name.release, "%u.%u", &major, &minor) == 2 &&
               (major > 6 || (major == 6 && minor >= 8));
    }();
    return !reported || read_tcp_dump(kTcpBoundInactive, table);
}

void read_kernel_sockets(unsigned protocols, SocketTable& table) {
    const bool want_tcp = (protocols & kTcpTables) != 0;
    bool tcp_done = want_tcp && read_netlink_tcp(table);
    // After a stalled dump the rest is read from /proc/net, so that one
    // reading waits for at most one stall.
    bool stalled = want_tcp && !tcp_done && errno == EAGAIN;
    for (TableKind kind : TABLE_KINDS) {
        if ((protocols & (kind.tcp ? kTcpTables : kUdpTables)) == 0 || (kind.tcp && tcp_done)) {
            continue;
        }
        if (stalled || !read_netlink(kind, table)) {
            stalled = stalled || errno == EAGAIN;
            read_proc_net(kind, table);
        }
    }
}

SocketTable read_kernel_sockets() {
    SocketTable table;
    table.reserve(256);
    read_kernel_sockets(kTcpTables | kUdpTables, table);
    return table;
}

}  // namespace lumenstat::os::linux_sockets
