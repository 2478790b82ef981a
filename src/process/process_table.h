// The process table: every process on the machine from one KERN_PROC_ALL
// sysctl, enriched per process with its arguments, memory use and start time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "os/system.h"

namespace lumenstat {

enum class ProcessStatus : std::uint8_t { Running, Sleeping, Stopped, Zombie, Idle, Unknown };

// "Running", "Sleeping", "Stopped", "Zombie", "Idle", "Unknown"
std::string_view status_text(ProcessStatus status);
ProcessStatus status_from_p_stat(int p_stat);

struct ProcessInfo {
    std::uint32_t pid = 0;
    std::uint32_t ppid = 0;
    std::string name;
    std::string exe_path;  // the first kept argument, not the kernel's executable path
    std::vector<std::string> cmdline;
    ProcessStatus status = ProcessStatus::Unknown;
    std::uint64_t memory_usage = 0;  // bytes
    std::uint64_t start_time = 0;    // seconds since the Unix epoch
};

// In the kernel's order, unsorted and unfiltered. A process whose details
// cannot be read keeps empty or zero fields; only the table fetch can fail.
Result<std::vector<ProcessInfo>> get_processes(os::System& sys);

}  // namespace lumenstat
