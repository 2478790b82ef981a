#include "cpu/sysctl_value.h"

#include <cstring>
#include <vector>

namespace lumenstat {

namespace {

QueryError sysctl_failed(const std::string& name) {
    return QueryError::sys_call("sysctlbyname " + name + " failed");
}

}  // namespace

Result<std::uint32_t> sysctl_u32(os::System& system, const std::string& name) {
    std::uint32_t value = 0;
    std::size_t size = sizeof value;
    if (system.sysctlbyname(name.c_str(), &value, &size, nullptr, 0) != 0) {
        return std::unexpected(sysctl_failed(name));
    }
    return value;
}

Result<std::string> sysctl_text(os::System& system, const std::string& name) {
    std::size_t size = 0;
    if (system.sysctlbyname(name.c_str(), nullptr, &size, nullptr, 0) != 0) {
        return std::unexpected(sysctl_failed(name));
    }
    std::vector<char> buffer(size, '\0');
    const std::size_t probed = size;
    if (system.sysctlbyname(name.c_str(), buffer.data(), &size, nullptr, 0) != 0) {
        return std::unexpected(sysctl_failed(name));
    }
    // Only the probed bytes are ours, whatever length the second call reports.
    const void* nul = probed == 0 ? nullptr : std::memchr(buffer.data(), '\0', probed);
    const std::size_t length =
        nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - buffer.data())
                       : probed;
    std::string text(buffer.data(), length);
    if (!is_valid_utf8(text)) {
        return std::unexpected(QueryError::parse("Invalid UTF-8 in sysctl string"));
    }
    return text;
}

}  // namespace lumenstat
