// One netlink sock_diag dump: the request, its reply read to the end marker
// with a limit on how long the kernel may stall, and the walk over each
// socket message and its attributes. Shared by the Linux personality's socket
// table and the traffic tool, which each keep their own record of a socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "os/linux/unique_fd.h"

namespace lumenstat::os::sock_diag {

// A dump that sends no datagram for this long has failed (EAGAIN): a stalled
// dump must not hold the caller for ever.
inline constexpr int kDumpStallMs = 500;

// A sock_diag netlink socket whose receives give up after kDumpStallMs, or
// -1 with errno set.
UniqueFd open_diag_socket();

// Asks for every socket of `family` and `protocol` in `states` (a bit per
// Linux TCP state), each with the inet_diag extensions `extensions` (a bit
// per INET_DIAG_* attribute, as idiag_ext takes them).
bool send_dump_request(int fd, std::uint8_t family, std::uint8_t protocol, std::uint32_t states,
                       std::uint8_t extensions);

// The older TCP request, which leaves the family open: one walk of the
// kernel's connection hash table yields IPv4 and IPv6 sockets together.
bool send_tcp_dump_request(int fd, std::uint32_t states, std::uint8_t extensions);

// Takes the socket messages of a dump reply: the inet_diag_msg and its
// attributes, after the netlink header. False for a malformed message.
class MessageSink {
public:
    virtual bool take(std::span<const std::byte> payload) = 0;

protected:
    ~MessageSink() = default;
};

// Passes the socket messages of one reply datagram to `sink`. False on a
// malformed message or an error reply; `done` becomes true at the dump's end
// marker.
bool parse_datagram(std::span<const std::byte> datagram, MessageSink& sink, bool& done);

// Passes the socket messages of the reply to a dump request sent on `fd` to
// `sink`, up to its end marker. False with errno set on failure (EAGAIN for a
// stall, EPROTO for a malformed reply).
bool receive_dump(int fd, MessageSink& sink);

struct Attribute {
    std::uint16_t type;  // without the nested and byte-order flags
    std::span<const std::byte> data;
};

// The attribute at `offset` of a socket message's `payload`, moving `offset`
// to the next one; false at the end, and also setting `malformed` when the
// attribute overruns the message.
bool next_attribute(std::span<const std::byte> payload, std::size_t& offset, Attribute& out,
                    bool& malformed);

// The offset of the first attribute: the inet_diag_msg before it, aligned.
std::size_t first_attribute_offset();

// Calls `visit(type, data)` for each attribute after the inet_diag_msg at the
// start of `payload`; false when one overruns the message.
template <class Visit>
bool for_each_attribute(std::span<const std::byte> payload, Visit visit) {
    std::size_t offset = first_attribute_offset();
    Attribute attribute;
    bool malformed = false;
    while (next_attribute(payload, offset, attribute, malformed)) {
        visit(attribute.type, attribute.data);
    }
    return !malformed;
}

}  // namespace lumenstat::os::sock_diag
