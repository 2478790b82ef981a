#include "cpu/cpu_usage.h"

#include <algorithm>

#include "cpu/sleep.h"

namespace lumenstat {

namespace {

std::uint64_t total(const CpuTimes& t) { return t.user + t.system + t.idle + t.nice + t.iowait; }

double usage(const CpuTimes& first, const CpuTimes& second) {
    const std::uint64_t before = total(first);
    const std::uint64_t after = total(second);
    if (after <= before) return 0.0;
    const std::uint64_t delta_total = after - before;
    const std::uint64_t delta_idle = second.idle >= first.idle ? second.idle - first.idle : 0;
    // An idle count that ran ahead of the total (a wrapped counter) is not busy time.
    const std::uint64_t busy = delta_total >= delta_idle ? delta_total - delta_idle : 0;
    return static_cast<double>(busy) / static_cast<double>(delta_total) * 100.0;
}

}  // namespace

std::vector<double> usage_between(const std::vector<CpuTimes>& first,
                                  const std::vector<CpuTimes>& second) {
    const std::size_t count = std::min(first.size(), second.size());
    std::vector<double> usages;
    usages.reserve(count);
    for (std::size_t i = 0; i < count; ++i) usages.push_back(usage(first[i], second[i]));
    return usages;
}

Result<std::vector<double>> get_cpu_usage(os::System& system, Duration span) {
    auto first = get_cpu_times(system);
    if (!first) return std::unexpected(std::move(first.error()));
    sleep_for(system, span);
    auto second = get_cpu_times(system);
    if (!second) return std::unexpected(std::move(second.error()));
    return usage_between(*first, *second);
}

}  // namespace lumenstat
