// The socket table from /proc/net/{tcp,tcp6,udp,udp6}: the fallback when
// netlink sock_diag is not available. These files carry no buffer sizes.
#include <arpa/inet.h>
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "os/linux/proc_files.h"
#include "os/linux/socket/socket_table.h"

namespace lumenstat::os::linux_sockets {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool take_hex(std::string_view& text, std::size_t digits, std::uint32_t& value) {
    if (text.size() < digits) {
        return false;
    }
    value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        int d = hex_digit(text[i]);
        if (d < 0) {
            return false;
        }
        value = value << 4 | static_cast<std::uint32_t>(d);
    }
    text.remove_prefix(digits);
    return true;
}

// A run of 1 to 8 hex digits.
bool take_hex_number(std::string_view& text, std::uint32_t& value) {
    std::size_t digits = 0;
    while (digits < text.size() && hex_digit(text[digits]) >= 0) {
        ++digits;
    }
    return digits >= 1 && digits <= 8 && take_hex(text, digits, value);
}

bool take_char(std::string_view& text, char c) {
    if (text.empty() || text.front() != c) {
        return false;
    }
    text.remove_prefix(1);
    return true;
}

void skip_blanks(std::string_view& text) {
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
}

// "0100007F:0050", or 32 hex digits before the colon for IPv6. The kernel
// prints each 32-bit word of the address as a number in the machine's own
// byte order, so copying the words back yields the network-order bytes.
bool take_endpoint(std::string_view& text, bool ipv6, std::uint8_t (&address)[16],
                   std::uint16_t& port) {
    skip_blanks(text);
    for (int word = 0; word < (ipv6 ? 4 : 1); ++word) {
        std::uint32_t value;
        if (!take_hex(text, 8, value)) {
            return false;
        }
        std::memcpy(address + 4 * word, &value, sizeof(value));
    }
    std::uint32_t host_port;
    if (!take_char(text, ':') || !take_hex(text, 4, host_port)) {
        return false;
    }
    port = htons(static_cast<std::uint16_t>(host_port));
    return true;
}

bool parse_line(std::string_view line, bool ipv6, bool tcp, bool dual_stack_by_default,
                SocketTable& table) {
    KernelSocket socket;
    socket.ipv6 = ipv6;
    socket.tcp = tcp;
    std::uint32_t state, send_queue, recv_queue;
    std::uint64_t inode;
    if (!procfs::skip_field(line) ||  // "sl:"
        !take_endpoint(line, ipv6, socket.local, socket.local_port) ||
        !take_endpoint(line, ipv6, socket.remote, socket.remote_port)) {
        return false;
    }
    skip_blanks(line);
    if (!take_hex(line, 2, state)) {
        return false;
    }
    skip_blanks(line);
    if (!take_hex_number(line, send_queue) || !take_char(line, ':') ||
        !take_hex_number(line, recv_queue)) {
        return false;
    }
    // tr:tm->when, retrnsmt, uid, timeout
    for (int i = 0; i < 4; ++i) {
        if (!procfs::skip_field(line)) {
            return false;
        }
    }
    if (!procfs::parse_u64(line, inode)) {
        return false;
    }
    socket.state = static_cast<std::uint8_t>(state);
    // Binding to one IPv6 address sets IPV6_V6ONLY; so does the system's
    // default; connecting to an IPv6 peer ends taking IPv4 traffic.
    constexpr std::uint8_t wildcard[16] = {};
    const bool open_to_any = std::memcmp(socket.local, wildcard, sizeof wildcard) == 0 &&
                             (socket.state == LINUX_TCP_LISTEN || socket.state == LINUX_TCP_CLOSE);
    socket.dual_stack =
        ipv6 && ((dual_stack_by_default && open_to_any) || has_v4_mapped_address(socket));
    socket.send_queue = send_queue;
    socket.recv_queue = recv_queue;
    if (inode != 0) {
        table.insert_or_assign(inode, socket);
    }
    return true;
}

// IPv6 sockets take IPv4 traffic too unless IPV6_V6ONLY is set, which the
// system sets on new sockets when bindv6only is 1.
bool new_sockets_dual_stack() {
    char text[16];
    long n = procfs::read_file(AT_FDCWD, "/proc/sys/net/ipv6/bindv6only", text, sizeof text);
    return !(n > 0 && text[0] == '1');
}

}  // namespace

void parse_proc_net(std::string_view text, bool ipv6, bool tcp, SocketTable& table,
                    bool dual_stack_by_default) {
    bool header = true;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!header) {
            parse_line(line, ipv6, tcp, dual_stack_by_default, table);
        }
        header = false;
    }
}

bool read_proc_net(TableKind kind, SocketTable& table) {
    const char* path = kind.tcp ? (kind.ipv6 ? "/proc/net/tcp6" : "/proc/net/tcp")
                                : (kind.ipv6 ? "/proc/net/udp6" : "/proc/net/udp");
    std::string text;
    if (!procfs::read_file(path, text)) {
        return false;
    }
    parse_proc_net(text, kind.ipv6, kind.tcp, table, kind.ipv6 && new_sockets_dual_stack());
    return true;
}

}  // namespace lumenstat::os::linux_sockets
