// Parsers of the state and socket address texts a caller passes in.
//
// Free of <expected> (and of error.h): these parsers are fuzzed with a toolchain whose standard
// library lacks it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "socket/values.h"

namespace lumenstat {

// The parsed value, or the message saying why the text was rejected.
template <class T>
struct ParseOutcome {
    std::optional<T> value;
    std::string error;

    explicit operator bool() const { return value.has_value(); }
};

// Upper-cases `text` as Python's str.upper does and matches it exactly against the twelve
// display texts; otherwise fails with "invalid state: " + `text` as given.
ParseOutcome<SocketState> parse_socket_state(std::string_view text);

// "a.b.c.d:port" or "[ipv6(%scope)?]:port", nothing before or after; otherwise fails with
// "invalid socket address syntax".
ParseOutcome<SocketAddress> parse_socket_address(std::string_view text);

inline constexpr std::string_view kInvalidSocketAddress = "invalid socket address syntax";

}  // namespace lumenstat
