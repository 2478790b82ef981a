#include "os/linux/socket/sock_diag_dump.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace lumenstat::os::sock_diag {

namespace {

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

// Sends a dump request of netlink message `type` carrying `request`.
template <class Request>
bool send_dump(int fd, std::uint16_t type, const Request& request) {
    struct {
        nlmsghdr header;
        Request request;
    } message{};
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = type;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = 1;
    message.request = request;
    return send_all(fd, &message, sizeof(message));
}

// A dump reply datagram holds at most about 32 KiB.
std::vector<std::byte>& dump_buffer() {
    thread_local std::vector<std::byte> buffer(64 * 1024);
    return buffer;
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

bool send_dump_request(int fd, std::uint8_t family, std::uint8_t protocol, std::uint32_t states,
                       std::uint8_t extensions) {
    inet_diag_req_v2 request{};
    request.sdiag_family = family;
    request.sdiag_protocol = protocol;
    request.idiag_states = states;
    request.idiag_ext = extensions;
    return send_dump(fd, SOCK_DIAG_BY_FAMILY, request);
}

bool send_tcp_dump_request(int fd, std::uint32_t states, std::uint8_t extensions) {
    inet_diag_req request{};
    request.idiag_states = states;
    request.idiag_ext = extensions;
    return send_dump(fd, TCPDIAG_GETSOCK, request);
}

bool parse_datagram(std::span<const std::byte> datagram, MessageSink& sink, bool& done) {
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
        if (header.nlmsg_type == NLMSG_ERROR) {
            return false;
        }
        bool socket_message =
            header.nlmsg_type == SOCK_DIAG_BY_FAMILY || header.nlmsg_type == TCPDIAG_GETSOCK;
        if (socket_message && !sink.take(datagram.subspan(offset + sizeof(nlmsghdr),
                                                          header.nlmsg_len - sizeof(nlmsghdr)))) {
            return false;
        }
        offset += NLMSG_ALIGN(header.nlmsg_len);
    }
    return offset >= datagram.size();
}

bool receive_dump(int fd, MessageSink& sink) {
    std::vector<std::byte>& buffer = dump_buffer();
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
            !parse_datagram(std::span(buffer.data(), static_cast<std::size_t>(got)), sink, done)) {
            errno = EPROTO;
            return false;
        }
    }
    return true;
}

std::size_t first_attribute_offset() { return NLMSG_ALIGN(sizeof(inet_diag_msg)); }

bool next_attribute(std::span<const std::byte> payload, std::size_t& offset, Attribute& out,
                    bool& malformed) {
    if (offset + sizeof(nlattr) > payload.size()) {
        return false;
    }
    nlattr attribute;
    std::memcpy(&attribute, payload.data() + offset, sizeof(attribute));
    if (attribute.nla_len < sizeof(nlattr) || attribute.nla_len > payload.size() - offset) {
        malformed = true;
        return false;
    }
    out.type = attribute.nla_type & NLA_TYPE_MASK;
    out.data = payload.subspan(offset + sizeof(nlattr), attribute.nla_len - sizeof(nlattr));
    offset += NLA_ALIGN(attribute.nla_len);
    return true;
}

}  // namespace lumenstat::os::sock_diag
