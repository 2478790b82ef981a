// Busy percentage per CPU from two tick samples taken a span apart.
#pragma once

#include <vector>

#include "cpu/cpu_times.h"
#include "cpu/duration.h"
#include "error.h"
#include "os/system.h"

namespace lumenstat {

// One percentage per CPU, in CPU order; the calling thread sleeps for the span.
Result<std::vector<double>> get_cpu_usage(os::System& system, Duration span);

// Pairs the samples by index. A CPU whose total did not advance reports 0.0;
// when the second sample lists fewer CPUs, the result stops at its length.
std::vector<double> usage_between(const std::vector<CpuTimes>& first,
                                  const std::vector<CpuTimes>& second);

}  // namespace lumenstat
