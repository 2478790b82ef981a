// One snapshot of the whole machine: memory, CPU identity, mounted file
// systems, socket counts, every socket, every process and sampled CPU usage.
#pragma once

#include <vector>

#include "cpu/cpu_info.h"
#include "cpu/duration.h"
#include "disk/disks.h"
#include "error.h"
#include "memory.h"
#include "os/system.h"
#include "process/process_table.h"
#include "socket/enumeration.h"
#include "socket/values.h"

namespace lumenstat {

struct SystemSummary {
    MemoryInfo memory;
    CpuInfo cpu;
    std::vector<DiskInfo> disks;
    // `total` from a socket request made after the sampling interval, the
    // four state counts from the one made before it.
    SocketStateSummary socket_summary;
    std::vector<SocketConnection> connections;  // as the all-sockets query yields them
    std::vector<ProcessInfo> processes;
    std::vector<double> cpu_usage;  // percent per logical CPU over `sample`
};

// Runs memory, CPU identity, mounts, socket summary, all sockets, process
// table and CPU usage (sleeping for `sample`) in that order, then asks the
// socket summary again. The first query that fails ends the snapshot with
// its error; nothing gathered so far is kept.
Result<SystemSummary> get_system_summary(os::System& sys, Duration sample,
                                         SocketCache& cache = socket_cache());

}  // namespace lumenstat
