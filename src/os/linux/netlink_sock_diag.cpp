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
#include <vector>

#include "os/linux/socket_table.h"
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

bool send_all(int fd, const void* message, std::size_t size) {
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    for (;;) {
        ssize_t sent = ::sendto(fd, message, size, 0, reinterpret_cast<const sockaddr*>(&kernel),
                                sizeof(kernel));
        if (sent == static_cast<ssize_t>(size)) {
            return true;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent >= 0) {
            errno = EIO;
        }
        return false;
    }
}

bool send_dump_request(int fd, std::uint8_t family, std::uint8_t protocol) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = 1;
    message.request.sdiag_family = family;
    message.request.sdiag_protocol = protocol;
    message.request.idiag_states = protocol == IPPROTO_TCP ? kTcpStates : ~0u;
    message.request.idiag_ext = 1u << (INET_DIAG_SKMEMINFO - 1);
    return send_all(fd, &message, sizeof(message));
}

// The older TCP request leaves the family open, so one walk of the kernel's
// connection hash table yields IPv4 and IPv6 sockets together.
bool send_tcp_dump_request(int fd, std::uint32_t states) {
    struct {
        nlmsghdr header;
        inet_diag_req request;
    } message{};
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = TCPDIAG_GETSOCK;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = 1;
    message.request.idiag_states = states;
    message.request.idiag_ext = 1u << (INET_DIAG_SKMEMINFO - 1);
    return send_all(fd, &message, sizeof(message));
}

// A dump reply datagram holds at most about 32 KiB.
std::vector<std::byte>& dump_buffer() {
    thread_local std::vector<std::byte> buffer(64 * 1024);
    return buffer;
}

bool read_dump(int fd, bool tcp, std::vector<std::byte>& buffer, SocketTable& table) {
    bool done = false;
    while (!done) {
        ssize_t got = ::recv(fd, buffer.data(), buffer.size(), MSG_TRUNC);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;  // EAGAIN: the dump stalled
        }
        if (static_cast<std::size_t>(got) > buffer.size()) {
            errno = EMSGSIZE;
            return false;
        }
        if (got == 0 ||
            !parse_diag_datagram(std::span(buffer.data(), static_cast<std::size_t>(got)), tcp,
                                 table, done)) {
            errno = EPROTO;
            return false;
        }
    }
    return true;
}

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

    std::size_t offset = NLMSG_ALIGN(sizeof(inet_diag_msg));
    while (offset + sizeof(nlattr) <= payload.size()) {
        nlattr attribute;
        std::memcpy(&attribute, payload.data() + offset, sizeof(attribute));
        if (attribute.nla_len < sizeof(nlattr) || attribute.nla_len > payload.size() - offset) {
            return false;
        }
        std::size_t length = attribute.nla_len - sizeof(nlattr);
        const std::byte* data = payload.data() + offset + sizeof(nlattr);
        if ((attribute.nla_type & NLA_TYPE_MASK) == INET_DIAG_SKMEMINFO &&
            length >= (SK_MEMINFO_SNDBUF + 1) * sizeof(std::uint32_t)) {
            socket.recv_buffer = read_u32(data + SK_MEMINFO_RCVBUF * sizeof(std::uint32_t));
            socket.send_buffer = read_u32(data + SK_MEMINFO_SNDBUF * sizeof(std::uint32_t));
        }
        // Given for listening and unconnected sockets only.
        if ((attribute.nla_type & NLA_TYPE_MASK) == INET_DIAG_SKV6ONLY && length >= 1) {
            socket.dual_stack = socket.ipv6 && std::to_integer<int>(data[0]) == 0;
        }
        offset += NLA_ALIGN(attribute.nla_len);
    }
    socket.dual_stack = socket.dual_stack || (socket.ipv6 && has_v4_mapped_address(socket));
    if (msg.idiag_inode != 0) {
        table.insert_or_assign(msg.idiag_inode, socket);
    }
    return true;
}

}  // namespace

UniqueFd open_diag_socket() {
    int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    const timeval limit{.tv_sec = kDumpStallMs / 1000, .tv_usec = kDumpStallMs % 1000 * 1000};
    if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        const int failure = errno;
        ::close(fd);
        errno = failure;
        fd = -1;
    }
    return UniqueFd(fd);
}

bool receive_dump(int fd, bool tcp, SocketTable& table) {
    return read_dump(fd, tcp, dump_buffer(), table);
}

bool parse_diag_datagram(std::span<const std::byte> datagram, bool tcp, SocketTable& table,
                         bool& done) {
    std::size_t offset = 0;
    while (offset + sizeof(nlmsghdr) <= datagram.size()) {
        nlmsghdr header;
        std::memcpy(&header, datagram.data() + offset, sizeof(header));
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > datagram.size() - offset) {
            return false;
        }
        auto payload =
            datagram.subspan(offset + sizeof(nlmsghdr), header.nlmsg_len - sizeof(nlmsghdr));
        if (header.nlmsg_type == NLMSG_DONE) {
            done = true;
            return true;
        }
        if (header.nlmsg_type == NLMSG_ERROR) {
            return false;
        }
        bool socket_message =
            header.nlmsg_type == SOCK_DIAG_BY_FAMILY || header.nlmsg_type == TCPDIAG_GETSOCK;
        if (socket_message && !add_socket(payload, tcp, table)) {
            return false;
        }
        offset += NLMSG_ALIGN(header.nlmsg_len);
    }
    return offset >= datagram.size();
}

bool read_netlink(TableKind kind, SocketTable& table) {
    const UniqueFd netlink = open_diag_socket();
    if (netlink.get() < 0) {
        return false;
    }
    return send_dump_request(netlink.get(), kind.ipv6 ? AF_INET6 : AF_INET,
                             kind.tcp ? IPPROTO_TCP : IPPROTO_UDP) &&
           read_dump(netlink.get(), kind.tcp, dump_buffer(), table);
}

namespace {

bool read_tcp_dump(std::uint32_t states, SocketTable& table) {
    const UniqueFd netlink = open_diag_socket();
    if (netlink.get() < 0) {
        return false;
    }
    return send_tcp_dump_request(netlink.get(), states) &&
           read_dump(netlink.get(), true, dump_buffer(), table);
}

}  // namespace

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

SocketTable read_kernel_sockets() {
    SocketTable table;
    table.reserve(256);
    bool tcp_done = read_netlink_tcp(table);
    // After a stalled dump the rest is read from /proc/net, so that one
    // reading waits for at most one stall.
    bool stalled = !tcp_done && errno == EAGAIN;
    for (TableKind kind : TABLE_KINDS) {
        if (kind.tcp && tcp_done) {
            continue;
        }
        if (stalled || !read_netlink(kind, table)) {
            stalled = stalled || errno == EAGAIN;
            read_proc_net(kind, table);
        }
    }
    return table;
}

}  // namespace lumenstat::os::linux_sockets
