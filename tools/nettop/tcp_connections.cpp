#include "tcp_connections.h"

#include <linux/inet_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "os/linux/socket/sock_diag_dump.h"
#include "os/linux/unique_fd.h"

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

// Adds the connection of one socket message when its inode is `wanted`.
bool add_connection(std::span<const std::byte> payload, std::span<const std::uint64_t> wanted,
                    TcpConnections& connections) {
    if (payload.size() < sizeof(inet_diag_msg)) return false;
    inet_diag_msg msg;
    std::memcpy(&msg, payload.data(), sizeof(msg));
    if (msg.idiag_family != AF_INET && msg.idiag_family != AF_INET6) return true;
    if (msg.idiag_inode == 0 ||
        !std::binary_search(wanted.begin(), wanted.end(), msg.idiag_inode)) {
        return true;
    }
    TcpConnection connection;
    connection.ipv6 = msg.idiag_family == AF_INET6;
    connection.state = msg.idiag_state;
    std::memcpy(connection.local, msg.id.idiag_src, 16);
    std::memcpy(connection.remote, msg.id.idiag_dst, 16);
    connection.local_port = ntohs(msg.id.idiag_sport);
    connection.remote_port = ntohs(msg.id.idiag_dport);
    const bool attributes_whole = os::sock_diag::for_each_attribute(
        payload, [&connection](std::uint16_t type, std::span<const std::byte> data) {
            if (type == INET_DIAG_INFO) payload_counts(data, connection.state, connection);
        });
    if (!attributes_whole) return false;
    connections.insert_or_assign(msg.idiag_inode, connection);
    return true;
}

class ConnectionSink final : public os::sock_diag::MessageSink {
public:
    ConnectionSink(std::span<const std::uint64_t> wanted, TcpConnections& connections)
        : wanted_(wanted), connections_(connections) {}
    bool take(std::span<const std::byte> payload) override {
        return add_connection(payload, wanted_, connections_);
    }

private:
    std::span<const std::uint64_t> wanted_;
    TcpConnections& connections_;
};

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

bool read_tcp_connections(std::span<const std::uint64_t> wanted, TcpConnections& connections) {
    const os::UniqueFd netlink = os::sock_diag::open_diag_socket();
    if (netlink.get() < 0 ||
        !os::sock_diag::send_tcp_dump_request(netlink.get(), kStates, 1u << (INET_DIAG_INFO - 1))) {
        return false;
    }
    ConnectionSink sink(wanted, connections);
    return os::sock_diag::receive_dump(netlink.get(), sink);
}

}  // namespace lumenstat::nettop
