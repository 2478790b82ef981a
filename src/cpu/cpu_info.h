// CPU identity: core counts, model, vendor and nominal frequency.
#pragma once

#include <cstdint>
#include <string>

#include "error.h"
#include "os/system.h"

namespace lumenstat {

struct CpuInfo {
    std::uint32_t physical_cores = 0;
    std::uint32_t logical_cores = 0;
    std::string model_name;
    std::string vendor;
    std::uint64_t frequency_mhz = 0;
};

// Fails only when a core count cannot be read; the model, vendor and
// frequency fall back to empty text, a vendor derived from the model, and 0.
Result<CpuInfo> get_cpu_info(os::System& system);

}  // namespace lumenstat
