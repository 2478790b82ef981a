#include "system_summary.h"

#include <utility>

#include "cpu/cpu_usage.h"

namespace lumenstat {

Result<SystemSummary> get_system_summary(os::System& sys, Duration sample, SocketCache& cache) {
    SystemSummary summary;
    auto memory = get_memory_info(sys);
    if (!memory) return std::unexpected(memory.error());
    summary.memory = *memory;

    auto cpu = get_cpu_info(sys);
    if (!cpu) return std::unexpected(cpu.error());
    summary.cpu = std::move(*cpu);

    auto disks = get_disks(sys);
    if (!disks) return std::unexpected(disks.error());

    auto before = get_socket_summary(sys, cache);
    if (!before) return std::unexpected(before.error());

    auto connections = get_connections(sys, cache);
    if (!connections) return std::unexpected(connections.error());
    summary.connections = flatten(*connections);

    auto processes = get_processes(sys);
    if (!processes) return std::unexpected(processes.error());
    summary.processes = std::move(*processes);

    auto usage = get_cpu_usage(sys, sample);
    if (!usage) return std::unexpected(usage.error());
    summary.cpu_usage = std::move(*usage);

    summary.disks = std::move(*disks);

    // Answered from the socket cache unless the sampling interval outlasted it.
    auto after = get_socket_summary(sys, cache);
    if (!after) return std::unexpected(after.error());
    summary.socket_summary = *before;
    summary.socket_summary.total = after->total;
    return summary;
}

}  // namespace lumenstat
