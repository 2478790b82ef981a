#include "socket/address_text.h"

namespace lumenstat {
namespace {

std::size_t write_decimal(std::uint32_t value, char* out) {
    char digits[10];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (std::size_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
    return count;
}

std::size_t write_hex_group(std::uint16_t value, char* out) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t length = 0;
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        unsigned nibble = (value >> shift) & 0xfu;
        if (nibble != 0 || started || shift == 0) {
            out[length++] = kHex[nibble];
            started = true;
        }
    }
    return length;
}

bool is_v4_mapped(const std::uint8_t* octets) {
    for (int i = 0; i < 10; ++i) {
        if (octets[i] != 0) return false;
    }
    return octets[10] == 0xff && octets[11] == 0xff;
}

}  // namespace

std::size_t write_ipv4_text(const std::uint8_t* octets, char* out) {
    std::size_t length = 0;
    for (int i = 0; i < 4; ++i) {
        if (i != 0) out[length++] = '.';
        length += write_decimal(octets[i], out + length);
    }
    return length;
}

std::size_t write_ipv6_text(const std::uint8_t* octets, char* out) {
    if (is_v4_mapped(octets)) {
        static constexpr char kPrefix[] = "::ffff:";
        for (std::size_t i = 0; i < sizeof kPrefix - 1; ++i) out[i] = kPrefix[i];
        return sizeof kPrefix - 1 + write_ipv4_text(octets + 12, out + sizeof kPrefix - 1);
    }

    std::uint16_t groups[8];
    for (int i = 0; i < 8; ++i) {
        groups[i] = static_cast<std::uint16_t>((octets[2 * i] << 8) | octets[2 * i + 1]);
    }

    // The longest run of two or more zero groups, the first of equally long ones.
    int best_start = -1;
    int best_length = 1;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int start = i;
        while (i < 8 && groups[i] == 0) ++i;
        if (i - start > best_length) {
            best_start = start;
            best_length = i - start;
        }
    }

    std::size_t length = 0;
    for (int i = 0; i < 8; ++i) {
        if (i == best_start) {
            out[length++] = ':';
            out[length++] = ':';
            i += best_length - 1;
            continue;
        }
        if (i != 0 && i != best_start + best_length) out[length++] = ':';
        length += write_hex_group(groups[i], out + length);
    }
    return length;
}

std::size_t write_ip_text(const SocketAddress& address, char* out) {
    return address.is_v4() ? write_ipv4_text(address.bytes.data(), out)
                           : write_ipv6_text(address.bytes.data(), out);
}

std::size_t write_socket_address_text(const SocketAddress& address, char* out) {
    std::size_t length = 0;
    if (address.is_v4()) {
        length = write_ipv4_text(address.bytes.data(), out);
    } else {
        out[length++] = '[';
        length += write_ipv6_text(address.bytes.data(), out + length);
        if (address.scope_id != 0) {
            out[length++] = '%';
            length += write_decimal(address.scope_id, out + length);
        }
        out[length++] = ']';
    }
    out[length++] = ':';
    length += write_decimal(address.port, out + length);
    return length;
}

std::string ip_address_text(const SocketAddress& address) {
    char buffer[kIpTextMax];
    return std::string(buffer, write_ip_text(address, buffer));
}

std::string socket_address_text(const SocketAddress& address) {
    char buffer[kSocketAddressTextMax];
    return std::string(buffer, write_socket_address_text(address, buffer));
}

}  // namespace lumenstat
