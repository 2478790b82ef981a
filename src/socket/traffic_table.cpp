#include "socket/traffic_table.h"

#include <array>
#include <limits>

#include "socket/address_text.h"
#include "text/utf8.h"
#include "text/white_space.h"

namespace lumenstat {

namespace {

constexpr std::string_view kArrow = "<->";

// Fields 1, 4 and 5 (description, bytes received, bytes sent) of a
// comma-separated line, or nothing when the line has fewer than six fields.
std::optional<std::array<std::string_view, 3>> connection_fields(std::string_view line) {
    std::array<std::string_view, 6> fields;
    std::size_t start = 0;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (start > line.size()) return std::nullopt;
        std::size_t comma = line.find(',', start);
        std::size_t end = comma == std::string_view::npos ? line.size() : comma;
        fields[i] = line.substr(start, end - start);
        start = end + 1;
    }
    return std::array{fields[1], fields[4], fields[5]};
}

// The description's local half (after the protocol word, before the arrow)
// and its remote half, as one key; "" when it has no arrow.
std::string endpoints_key(std::string_view description) {
    std::size_t arrow = description.find(kArrow);
    if (arrow == std::string_view::npos) return {};
    std::string_view local = trim_white_space(description.substr(0, arrow));
    std::size_t blank = local.find_last_of(" \t");
    if (blank != std::string_view::npos) local.remove_prefix(blank + 1);
    std::string_view remote = trim_white_space(description.substr(arrow + kArrow.size()));
    std::string key;
    key.reserve(local.size() + 1 + remote.size());
    key.append(local).append("\n").append(remote);
    return key;
}

// "127.0.0.1:80" and "127.0.0.1.80".
std::array<std::string, 2> endpoint_texts(const SocketAddress& address) {
    std::string colon = ip_address_text(address) + ":" + std::to_string(address.port);
    std::string dot = colon;
    dot[dot.rfind(':')] = '.';
    return {colon, dot};
}

}  // namespace

std::uint64_t parse_traffic_count(std::string_view field) {
    if (field.starts_with('+')) field.remove_prefix(1);
    if (field.empty()) return 0;
    std::uint64_t value = 0;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    for (char c : field) {
        if (c < '0' || c > '9') return 0;
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (kMax - digit) / 10) return 0;
        value = value * 10 + digit;
    }
    return value;
}

TrafficTable TrafficTable::parse(std::string_view output) {
    TrafficTable table;
    const std::string text = lossy_utf8(output);
    std::string_view rest = text;
    while (!rest.empty()) {
        std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        line = trim_white_space(line);
        if (line.empty()) continue;
        auto fields = connection_fields(line);
        if (!fields) continue;
        std::string_view description = trim_white_space((*fields)[0]);
        TrafficCounts counts{parse_traffic_count(trim_white_space((*fields)[2])),
                             parse_traffic_count(trim_white_space((*fields)[1]))};
        if (description.find(kArrow) == std::string_view::npos ||
            (counts.bytes_sent == 0 && counts.bytes_received == 0)) {
            continue;
        }
        table.add(description, counts);
    }
    return table;
}

void TrafficTable::add(std::string_view description, TrafficCounts counts) {
    auto [at, added] = by_description_.try_emplace(std::string(description), entries_.size());
    if (!added) {
        entries_[at->second].counts = counts;
        return;
    }
    entries_.push_back({std::string(description), counts});
    by_endpoints_.try_emplace(endpoints_key(description), at->second);
}

std::optional<TrafficCounts> TrafficTable::find(const SocketAddress& local,
                                                const std::optional<SocketAddress>& remote) const {
    std::array<std::string, 2> remotes = {"*:*", "*.*"};
    if (remote) remotes = endpoint_texts(*remote);
    std::optional<std::size_t> first;
    for (const std::string& local_text : endpoint_texts(local)) {
        for (const std::string& remote_text : remotes) {
            auto found = by_endpoints_.find(local_text + "\n" + remote_text);
            if (found != by_endpoints_.end() && (!first || found->second < *first)) {
                first = found->second;
            }
        }
    }
    if (!first) return std::nullopt;
    return entries_[*first].counts;
}

}  // namespace lumenstat
