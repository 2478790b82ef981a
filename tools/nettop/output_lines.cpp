#include "output_lines.h"

#include <string_view>

#include "socket/address_text.h"

namespace lumenstat::nettop {

namespace {

constexpr std::string_view kStateTexts[] = {
    "UNKNOWN",   "ESTABLISHED", "SYN_SENT",   "SYN_RECV", "FIN_WAIT1", "FIN_WAIT2",
    "TIME_WAIT", "CLOSED",      "CLOSE_WAIT", "LAST_ACK", "LISTEN",    "CLOSING",
};

std::string_view state_text(std::uint8_t state) {
    return state < std::size(kStateTexts) ? kStateTexts[state] : kStateTexts[0];
}

// The address as the module writes it, so that its matching finds it.
void append_endpoint(std::string& out, bool ipv6, const std::uint8_t* address, std::uint16_t port) {
    char text[kIpTextMax];
    std::size_t length = ipv6 ? write_ipv6_text(address, text) : write_ipv4_text(address, text);
    out.append(text, length);
    out.push_back(ipv6 ? '.' : ':');
    out.append(std::to_string(port));
}

}  // namespace

void append_connection_line(std::string& out, int fd, std::uint64_t inode,
                            const TcpConnection& connection) {
    out.append(std::to_string(fd));
    out.append(connection.ipv6 ? ",tcp6 " : ",tcp4 ");
    append_endpoint(out, connection.ipv6, connection.local, connection.local_port);
    out.append("<->");
    if (connection.remote_port == 0) {
        out.append(connection.ipv6 ? "*.*" : "*:*");
    } else {
        append_endpoint(out, connection.ipv6, connection.remote, connection.remote_port);
    }
    out.push_back(',');
    out.append(std::to_string(inode));
    out.push_back(',');
    out.append(state_text(connection.state));
    out.push_back(',');
    out.append(std::to_string(connection.bytes_received));
    out.push_back(',');
    out.append(std::to_string(connection.bytes_sent));
    out.push_back('\n');
}

}  // namespace lumenstat::nettop
