#include "tcp_connections.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

namespace lumenstat::nettop {

namespace {

// Linux TCP states (include/net/tcp_states.h).
constexpr std::uint8_t kTimeWait = 6;
constexpr std::uint8_t kCloseWait = 8;
constexpr std::uint8_t kLastAck = 9;
constexpr std::uint8_t kClosing = 11;
constexpr std::uint8_t kNewSynRecv = 12;

// TIME_WAIT and NEW_SYN_RECV entries are not full sockets: no descriptor can
// refer to them. Sockets only bound (bit 13) have carried nothing.
constexpr std::uint32_t kStates = 0xfffu & ~((1u << kTimeWait) | (1u << kNewSynRecv));

bool peer_fin_received(std::uint8_t state) {
    return state == kCloseWait || state == kLastAck || state == kClosing || state == kTimeWait;
}

template <class T>
bool read_field(std::span<const std::byte> info, std::size_t offset, T& value) {
    if (info.size() < offset + sizeof(T)) return false;
    std::memcpy(&value, info.data() + offset, sizeof(T));
    return true;
}

class Socket {
public:
    Socket() : fd_(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The older TCP request leaves the family open: one walk of the kernel's
// tables yields IPv4 and IPv6 sockets together.
bool send_request(int fd) {
    struct {
        nlmsghdr header;
        inet_diag_req request;
    } message{};
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = TCPDIAG_GETSOCK;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = 1;
    message.request.idiag_states = kStates;
    message.request.idiag_ext = 1u << (INET_DIAG_INFO - 1);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    for (;;) {
        ssize_t sent = ::sendto(fd, &message, sizeof(message), 0,
                                reinterpret_cast<const sockaddr*>(&kernel), sizeof(kernel));
        if (sent == static_cast<ssize_t>(sizeof(message))) return true;
        if (sent < 0 && errno == EINTR) continue;
        if (sent >= 0) errno = EIO;
        return false;
    }
}

bool add_connection(std::span<const std::byte> payload, TcpConnections& connections) {
    if (payload.size() < sizeof(inet_diag_msg)) return false;
    inet_diag_msg msg;
    std::memcpy(&msg, payload.data(), sizeof(msg));
    if (msg.idiag_family != AF_INET && msg.idiag_family != AF_INET6) return true;
    TcpConnection connection;
    connection.ipv6 = msg.idiag_family == AF_INET6;
    connection.state = msg.idiag_state;
    std::memcpy(connection.local, msg.id.idiag_src, 16);
    std::memcpy(connection.remote, msg.id.idiag_dst, 16);
    connection.local_port = ntohs(msg.id.idiag_sport);
    connection.remote_port = ntohs(msg.id.idiag_dport);
    std::size_t offset = NLMSG_ALIGN(sizeof(inet_diag_msg));
    while (offset + sizeof(nlattr) <= payload.size()) {
        nlattr attribute;
        std::memcpy(&attribute, payload.data() + offset, sizeof(attribute));
        if (attribute.nla_len < sizeof(nlattr) || attribute.nla_len > payload.size() - offset) {
            return false;
        }
        if ((attribute.nla_type & NLA_TYPE_MASK) == INET_DIAG_INFO) {
            payload_counts(
                payload.subspan(offset + sizeof(nlattr), attribute.nla_len - sizeof(nlattr)),
                connection.state, connection);
        }
        offset += NLA_ALIGN(attribute.nla_len);
    }
    if (msg.idiag_inode != 0) connections.insert_or_assign(msg.idiag_inode, connection);
    return true;
}

}  // namespace

void payload_counts(std::span<const std::byte> info, std::uint8_t state,
                    TcpConnection& connection) {
    // Bytes sent: payload put on the wire, each byte once (what the kernel
    // counts as sent, retransmissions included, less what it retransmitted).
    // Unlike the acknowledged-bytes counter, neither ever counts the SYN or
    // the FIN, whichever end opened or closed the connection.
    std::uint64_t sent = 0;
    std::uint64_t retransmitted = 0;
    if (read_field(info, offsetof(tcp_info, tcpi_bytes_sent), sent) &&
        read_field(info, offsetof(tcp_info, tcpi_bytes_retrans), retransmitted)) {
        connection.bytes_sent = sent >= retransmitted ? sent - retransmitted : 0;
    } else {
        connection.bytes_sent = 0;
    }
    std::uint64_t received = 0;
    if (read_field(info, offsetof(tcp_info, tcpi_bytes_received), received)) {
        if (peer_fin_received(state) && received > 0) --received;
        connection.bytes_received = received;
    } else {
        connection.bytes_received = 0;
    }
}

bool parse_tcp_datagram(std::span<const std::byte> datagram, TcpConnections& connections,
                        bool& done) {
    std::size_t offset = 0;
    while (offset + sizeof(nlmsghdr) <= datagram.size()) {
        nlmsghdr header;
        std::memcpy(&header, datagram.data() + offset, sizeof(header));
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > datagram.size() - offset) {
            return false;
        }
        if (header.nlmsg_type == NLMSG_DONE) {
            done = true;
            return true;
        }
        if (header.nlmsg_type == NLMSG_ERROR) return false;
        bool socket_message =
            header.nlmsg_type == TCPDIAG_GETSOCK || header.nlmsg_type == SOCK_DIAG_BY_FAMILY;
        if (socket_message && !add_connection(datagram.subspan(offset + sizeof(nlmsghdr),
                                                               header.nlmsg_len - sizeof(nlmsghdr)),
                                              connections)) {
            return false;
        }
        offset += NLMSG_ALIGN(header.nlmsg_len);
    }
    return offset >= datagram.size();
}

bool read_tcp_connections(TcpConnections& connections) {
    Socket netlink;
    if (netlink.get() < 0 || !send_request(netlink.get())) return false;
    // A dump datagram holds at most about 32 KiB.
    std::vector<std::byte> buffer(64 * 1024);
    bool done = false;
    while (!done) {
        ssize_t got = ::recv(netlink.get(), buffer.data(), buffer.size(), MSG_TRUNC);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0 || static_cast<std::size_t>(got) > buffer.size() ||
            !parse_tcp_datagram(std::span(buffer.data(), static_cast<std::size_t>(got)),
                                connections, done)) {
            errno = EPROTO;
            return false;
        }
    }
    return true;
}

}  // namespace lumenstat::nettop
