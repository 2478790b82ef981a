#include "cpu/cpu_info.h"

#include <string_view>

#include "cpu/sysctl_value.h"

namespace lumenstat {

namespace {

std::string vendor_from_model(std::string_view model) {
    if (model.find("Apple") != std::string_view::npos || model.starts_with("Mac")) return "Apple";
    return "Unknown";
}

std::uint64_t frequency_mhz(os::System& system) {
    std::uint64_t hertz = 0;
    std::size_t size = sizeof hertz;
    if (system.sysctlbyname("hw.cpufrequency", &hertz, &size, nullptr, 0) != 0) return 0;
    return hertz / 1000000;
}

}  // namespace

Result<CpuInfo> get_cpu_info(os::System& system) {
    os::QueryScope scope(system);
    CpuInfo info;
    auto logical = sysctl_u32(system, "hw.logicalcpu");
    if (!logical) return std::unexpected(std::move(logical.error()));
    info.logical_cores = *logical;
    auto physical = sysctl_u32(system, "hw.physicalcpu");
    if (!physical) return std::unexpected(std::move(physical.error()));
    info.physical_cores = *physical;

    if (auto brand = sysctl_text(system, "machdep.cpu.brand_string")) {
        info.model_name = std::move(*brand);
    } else if (auto model = sysctl_text(system, "hw.model")) {
        info.model_name = std::move(*model);
    }
    if (auto vendor = sysctl_text(system, "machdep.cpu.vendor")) {
        info.vendor = std::move(*vendor);
    } else {
        info.vendor = vendor_from_model(info.model_name);
    }
    info.frequency_mhz = frequency_mhz(system);
    return info;
}

}  // namespace lumenstat
