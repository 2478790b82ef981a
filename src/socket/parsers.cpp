#include "socket/parsers.h"

#include <array>
#include <cstdint>

#include "unicode/upper_case.h"

namespace lumenstat {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One or more decimal digits (leading zeros allowed) with value at most `max`.
std::optional<std::uint32_t> parse_decimal(std::string_view text, std::uint32_t max) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (!is_digit(c)) return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > max) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

// Four parts separated by ".", each 1 to 3 digits, at most 255, no leading zero unless "0".
std::optional<std::array<std::uint8_t, 4>> parse_ipv4(std::string_view text) {
    std::array<std::uint8_t, 4> octets{};
    std::size_t pos = 0;
    for (std::size_t part = 0; part < 4; ++part) {
        if (part != 0) {
            if (pos >= text.size() || text[pos] != '.') return std::nullopt;
            ++pos;
        }
        std::size_t start = pos;
        while (pos < text.size() && is_digit(text[pos]) && pos - start < 3) ++pos;
        std::string_view digits = text.substr(start, pos - start);
        if (digits.empty() || (digits.size() > 1 && digits[0] == '0')) return std::nullopt;
        auto value = parse_decimal(digits, 255);
        if (!value) return std::nullopt;
        octets[part] = static_cast<std::uint8_t>(*value);
    }
    if (pos != text.size()) return std::nullopt;
    return octets;
}

// Groups separated by single ":" (no empty group), each 1 to 4 hex digits; when
// `ipv4_tail_allowed`, the last group may instead be an IPv4 address standing for two groups.
// Appends the groups to `out` starting at `count` and advances it; false on any fault or when
// more than `limit` groups would result.
bool parse_groups(std::string_view text, bool ipv4_tail_allowed, std::size_t limit,
                  std::array<std::uint16_t, 8>& out, std::size_t& count) {
    if (text.empty()) return true;
    std::size_t pos = 0;
    while (true) {
        std::size_t end = text.find(':', pos);
        std::string_view group =
            text.substr(pos, end == std::string_view::npos ? text.npos : end - pos);
        bool last = end == std::string_view::npos;
        if (last && ipv4_tail_allowed && group.find('.') != std::string_view::npos) {
            auto octets = parse_ipv4(group);
            if (!octets || count + 2 > limit) return false;
            out[count++] = static_cast<std::uint16_t>(((*octets)[0] << 8) | (*octets)[1]);
            out[count++] = static_cast<std::uint16_t>(((*octets)[2] << 8) | (*octets)[3]);
            return true;
        }
        if (group.empty() || group.size() > 4 || count + 1 > limit) return false;
        std::uint16_t value = 0;
        for (char c : group) {
            int digit = hex_value(c);
            if (digit < 0) return false;
            value = static_cast<std::uint16_t>((value << 4) | digit);
        }
        out[count++] = value;
        if (last) return true;
        pos = end + 1;
    }
}

std::optional<std::array<std::uint8_t, 16>> parse_ipv6(std::string_view text) {
    std::array<std::uint16_t, 8> head{};
    std::array<std::uint16_t, 8> tail{};
    std::size_t head_count = 0;
    std::size_t tail_count = 0;

    std::size_t gap = text.find("::");
    if (gap == std::string_view::npos) {
        if (!parse_groups(text, true, 8, head, head_count) || head_count != 8) return std::nullopt;
    } else {
        // Only one "::", and it stands for at least one zero group. Searching from gap + 1
        // also rejects ":::".
        if (text.find("::", gap + 1) != std::string_view::npos) return std::nullopt;
        if (!parse_groups(text.substr(0, gap), false, 7, head, head_count)) return std::nullopt;
        if (!parse_groups(text.substr(gap + 2), true, 7 - head_count, tail, tail_count)) {
            return std::nullopt;
        }
    }

    std::array<std::uint16_t, 8> groups{};
    for (std::size_t i = 0; i < head_count; ++i) groups[i] = head[i];
    for (std::size_t i = 0; i < tail_count; ++i) groups[8 - tail_count + i] = tail[i];
    std::array<std::uint8_t, 16> octets{};
    for (std::size_t i = 0; i < 8; ++i) {
        octets[2 * i] = static_cast<std::uint8_t>(groups[i] >> 8);
        octets[2 * i + 1] = static_cast<std::uint8_t>(groups[i] & 0xff);
    }
    return octets;
}

std::optional<SocketAddress> parse_v6_socket_address(std::string_view text) {
    // "[" address ("%" scope)? "]:" port
    if (text.empty() || text.front() != '[') return std::nullopt;
    std::size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
        return std::nullopt;
    }
    std::string_view inside = text.substr(1, close - 1);
    std::uint32_t scope_id = 0;
    std::size_t percent = inside.find('%');
    if (percent != std::string_view::npos) {
        auto scope = parse_decimal(inside.substr(percent + 1), UINT32_MAX);
        if (!scope) return std::nullopt;
        scope_id = *scope;
        inside = inside.substr(0, percent);
    }
    auto octets = parse_ipv6(inside);
    auto port = parse_decimal(text.substr(close + 2), UINT16_MAX);
    if (!octets || !port) return std::nullopt;
    return SocketAddress::v6(*octets, static_cast<std::uint16_t>(*port), 0, scope_id);
}

std::optional<SocketAddress> parse_v4_socket_address(std::string_view text) {
    std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    auto octets = parse_ipv4(text.substr(0, colon));
    auto port = parse_decimal(text.substr(colon + 1), UINT16_MAX);
    if (!octets || !port) return std::nullopt;
    return SocketAddress::v4(*octets, static_cast<std::uint16_t>(*port));
}

}  // namespace

ParseOutcome<SocketState> parse_socket_state(std::string_view text) {
    std::string upper = to_upper_full(text);
    for (SocketState state : kAllSocketStates) {
        if (upper == state_display_text(state)) return {state, {}};
    }
    std::string error = "invalid state: ";
    error += text;
    return {std::nullopt, std::move(error)};
}

ParseOutcome<SocketAddress> parse_socket_address(std::string_view text) {
    auto address = !text.empty() && text.front() == '[' ? parse_v6_socket_address(text)
                                                        : parse_v4_socket_address(text);
    if (!address) return {std::nullopt, std::string(kInvalidSocketAddress)};
    return {address, {}};
}

}  // namespace lumenstat
