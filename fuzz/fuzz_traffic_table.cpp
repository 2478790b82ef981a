// sources: src/socket/traffic_table.cpp src/socket/values.cpp src/socket/address_text.cpp src/text/utf8.cpp src/text/white_space.cpp
// The traffic tool's output, as any bytes: line ends missing or CR only, huge numbers, signs,
// empty fields, invalid UTF-8, very long lines. Every kept connection has a trimmed, valid UTF-8
// description with an arrow, a count other than 0 and no twin; a count read from a field is the
// field's digits; matching sockets against the table finds only its entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "socket/traffic_table.h"
#include "text/utf8.h"
#include "text/white_space.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumenstat;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const TrafficTable table = TrafficTable::parse(bytes);
    std::set<std::string> descriptions;
    std::set<std::pair<std::uint64_t, std::uint64_t>> counts;
    for (const auto& entry : table.entries()) {
        const std::string& d = entry.description;
        if (!is_valid_utf8(d) || d.find("<->") == std::string::npos || trim_white_space(d) != d ||
            !descriptions.insert(d).second) {
            std::abort();
        }
        if (entry.counts.bytes_sent == 0 && entry.counts.bytes_received == 0) std::abort();
        counts.insert({entry.counts.bytes_sent, entry.counts.bytes_received});
    }

    std::uint64_t count = parse_traffic_count(bytes);
    if (count != 0) {
        std::string_view digits = bytes.starts_with('+') ? bytes.substr(1) : bytes;
        if (digits.find_first_not_of("0123456789") != std::string_view::npos) std::abort();
        if (std::to_string(count) !=
            digits.substr(std::min(digits.find_first_not_of('0'), digits.size()))) {
            std::abort();
        }
    }

    const SocketAddress local = SocketAddress::v4({127, 0, 0, 1}, 80);
    std::array<std::uint8_t, 16> loopback6{};
    loopback6[15] = 1;
    const SocketAddress local6 = SocketAddress::v6(loopback6, 8080);
    for (const auto& remote :
         {std::optional<SocketAddress>(), std::optional(local), std::optional(local6)}) {
        for (const SocketAddress& address : {local, local6}) {
            if (auto found = table.find(address, remote)) {
                if (!counts.contains({found->bytes_sent, found->bytes_received})) std::abort();
            }
        }
    }
    return 0;
}
