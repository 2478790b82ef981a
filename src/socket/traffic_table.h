// The per-connection byte counts of the traffic tool's output, and which of
// them belong to a socket.
//
// The tool writes comma-separated lines; on a connection's line, field 1
// describes it, as in "tcp4 127.0.0.1:8080<->10.0.0.2:52100" (an IPv6
// endpoint may put "." before its port, an unconnected remote end is "*:*"),
// field 4 is the number of bytes received and field 5 of bytes sent. The
// output is outside bytes: every other line, field or byte is tolerated.
//
// Free of <expected> (and of error.h): fuzzed with a toolchain whose standard
// library lacks it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "socket/values.h"

namespace lumenstat {

struct TrafficCounts {
    std::uint64_t bytes_sent = 0;
    std::uint64_t bytes_received = 0;

    friend bool operator==(const TrafficCounts&, const TrafficCounts&) = default;
};

// A count field: an optional "+" and one or more decimal digits, at most
// 2^64 - 1; anything else reads as 0.
std::uint64_t parse_traffic_count(std::string_view field);

class TrafficTable {
public:
    // Lines that describe a connection ("<->") with a count other than 0, in
    // the order their descriptions first appear; a later line with the same
    // description replaces the counts of an earlier one.
    static TrafficTable parse(std::string_view output);

    // The counts of the first connection whose local half (between the
    // protocol word and "<->") is the socket's local endpoint and whose
    // remote half is its remote endpoint, or "*:*" or "*.*" when it has none.
    // An endpoint is the address's text, ":" or ".", and the port.
    std::optional<TrafficCounts> find(const SocketAddress& local,
                                      const std::optional<SocketAddress>& remote) const;

    struct Entry {
        std::string description;
        TrafficCounts counts;
    };
    const std::vector<Entry>& entries() const { return entries_; }

private:
    void add(std::string_view description, TrafficCounts counts);

    std::vector<Entry> entries_;
    std::unordered_map<std::string, std::size_t> by_description_;
    // Local half + "\n" + remote half, to the first entry with those halves.
    std::unordered_map<std::string, std::size_t> by_endpoints_;
};

}  // namespace lumenstat
