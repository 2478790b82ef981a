// Answers written as one line each, so that a test compares a whole record
// with one expected text.
#pragma once

#include <sstream>
#include <string>

#include "socket/address_text.h"
#include "socket/values.h"

namespace lumenstat::testing {

// The values, written out with a space between each two.
template <class... Values>
std::string words(const Values&... values) {
    std::ostringstream text;
    ((text << values << ' '), ...);
    std::string all = text.str();
    return all.substr(0, all.size() - 1);
}

inline std::string address(const std::optional<SocketAddress>& a) {
    return a ? socket_address_text(*a) : "-";
}

// "tcp 127.0.0.1:80 127.0.0.2:5000 ESTABLISHED 7"; "-" for no remote address or pid.
template <class Connection>
std::string connection_text(const Connection& c) {
    return words(protocol_text(c.protocol), socket_address_text(c.local_addr),
                 address(c.remote_addr), state_display_text(c.state),
                 c.pid ? std::to_string(*c.pid) : "-");
}

}  // namespace lumenstat::testing
