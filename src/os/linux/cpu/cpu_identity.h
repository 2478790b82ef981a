// The CPU identity the sysctlbyname names answer, read together: one
// get_cpu_info asks for six names, and /proc/cpuinfo holds most of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lumenstat::os::linux_cpu {

struct CpuIdentity {
    std::uint32_t logical = 0;
    std::uint32_t physical = 0;
    std::optional<std::string> brand;   // "model name" of the first processor
    std::optional<std::string> vendor;  // "vendor_id"
    std::optional<std::string> model;   // DMI product name
    std::optional<std::uint64_t> hertz;
};

}  // namespace lumenstat::os::linux_cpu
