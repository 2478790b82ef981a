// The process table: every process on the machine from one KERN_PROC_ALL
// sysctl, enriched per process with its arguments, memory use and start time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
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

// Every process's kernel entry from one KERN_PROC_ALL read, in the kernel's
// order, before any per-process call: the process tree costs that one read,
// and the details of a process are read only for those a caller asks about.
class ProcessEntries {
public:
    // The size probe and read, retried with a larger buffer while the table
    // grows between them. Opens no query scope: the caller's holds it.
    static Result<ProcessEntries> read(os::System& sys);

    std::size_t size() const { return count_; }
    const darwin::kinfo_proc& entry(std::size_t i) const { return entries_[i]; }
    std::uint32_t pid(std::size_t i) const;
    std::uint32_t ppid(std::size_t i) const;

    // Process i as the table lists it, with its arguments read (one
    // KERN_PROCARGS2 probe and read); memory_usage is left 0.
    ProcessInfo describe(os::System& sys, std::size_t i);

private:
    struct FreeDeleter {
        void operator()(void* p) const { std::free(p); }
    };

    std::unique_ptr<darwin::kinfo_proc[], FreeDeleter> entries_;
    std::size_t count_ = 0;
    // Reused from one process to the next, so that describing processes one
    // after another does not allocate for each.
    std::vector<std::uint8_t> scratch_;
};

// In the kernel's order, unsorted and unfiltered. A process whose details
// cannot be read keeps empty or zero fields; only the table fetch can fail.
Result<std::vector<ProcessInfo>> get_processes(os::System& sys);

}  // namespace lumenstat
