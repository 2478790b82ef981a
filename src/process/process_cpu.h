// CPU time and CPU usage of one process.
#pragma once

#include <cstdint>

#include "cpu/duration.h"
#include "error.h"
#include "os/system.h"

namespace lumenstat {

// User plus system time in nanoseconds: the task times converted from Mach
// absolute units, or else the usage counters (already in nanoseconds).
Result<std::uint64_t> process_cpu_time_ns(os::System& system, std::uint32_t pid);

// Share of one CPU used over the span, in percent: the CPU time spent between
// two samples divided by the requested span (not the measured wall time).
// A process running several threads at once can exceed 100.
Result<double> get_process_cpu_usage(os::System& system, std::uint32_t pid, Duration span);

}  // namespace lumenstat
