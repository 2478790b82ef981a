#include "process/process_cpu.h"

#include <limits>
#include <optional>

#include "cpu/sleep.h"
#include "saturating.h"

namespace lumenstat {

namespace {

// Nothing when the timebase cannot be read: Mach units taken as nanoseconds
// would be off by the timebase's ratio.
std::optional<std::uint64_t> absolute_to_ns(os::System& system, std::uint64_t absolute) {
    darwin::mach_timebase_info_data_t timebase{.numer = 1, .denom = 1};
    if (system.mach_timebase_info(&timebase) != darwin::KERN_SUCCESS) return std::nullopt;
    if (timebase.denom == 0) return absolute;
    const unsigned __int128 product = static_cast<unsigned __int128>(absolute) * timebase.numer;
    return static_cast<std::uint64_t>(product / timebase.denom);
}

}  // namespace

Result<std::uint64_t> process_cpu_time_ns(os::System& system, std::uint32_t pid) {
    os::QueryScope scope(system);
    const int os_pid = static_cast<int>(pid);
    darwin::proc_taskinfo task{};
    if (system.proc_pidinfo(os_pid, darwin::PROC_PIDTASKINFO, 0, &task, sizeof task) > 0) {
        const std::uint64_t absolute = saturating_add(task.pti_total_user, task.pti_total_system);
        if (std::optional<std::uint64_t> ns = absolute_to_ns(system, absolute)) return *ns;
    }
    darwin::rusage_info_v2 usage{};
    if (system.proc_pid_rusage(os_pid, darwin::RUSAGE_INFO_V2, &usage) < 0) {
        return std::unexpected(QueryError::process_not_found(pid));
    }
    return saturating_add(usage.ri_user_time, usage.ri_system_time);
}

Result<double> get_process_cpu_usage(os::System& system, std::uint32_t pid, Duration span) {
    auto first = process_cpu_time_ns(system, pid);
    if (!first) return std::unexpected(std::move(first.error()));
    sleep_for(system, span);
    auto second = process_cpu_time_ns(system, pid);
    if (!second) return std::unexpected(std::move(second.error()));

    const double seconds = span.as_seconds();
    if (seconds < std::numeric_limits<double>::epsilon()) return 0.0;
    const std::uint64_t spent = *second > *first ? *second - *first : 0;
    return static_cast<double>(spent) / 1e9 / seconds * 100.0;
}

}  // namespace lumenstat
