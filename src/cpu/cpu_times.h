// The per-CPU tick counters of the host, one record per logical CPU.
#pragma once

#include <cstdint>
#include <vector>

#include "error.h"
#include "os/system.h"

namespace lumenstat {

// Scheduler ticks exactly as the host counts them. iowait is always 0 here:
// the host folds waiting for I/O into idle.
struct CpuTimes {
    std::uint64_t user = 0;
    std::uint64_t system = 0;
    std::uint64_t idle = 0;
    std::uint64_t nice = 0;
    std::uint64_t iowait = 0;
};

// One entry per logical CPU in processor order, or a SysCall error.
Result<std::vector<CpuTimes>> get_cpu_times(os::System& system);

}  // namespace lumenstat
