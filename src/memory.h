// Physical memory figures: the installed total from the hardware values, free
// and reclaimable memory from the virtual-memory page counters.
#pragma once

#include <cstdint>

#include "error.h"
#include "os/system.h"

namespace lumenstat {

struct MemoryInfo {
    std::uint64_t total = 0;      // bytes installed
    std::uint64_t available = 0;  // free + inactive + purgeable pages; may exceed total
    std::uint64_t used = 0;       // total - available, floored at 0
    std::uint64_t free = 0;       // free pages
    double usage_percent = 0.0;   // used / total * 100, 0.0 when total is 0
};

Result<MemoryInfo> get_memory_info(os::System& sys);

}  // namespace lumenstat
