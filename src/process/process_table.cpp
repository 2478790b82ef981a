#include "process/process_table.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <utility>

#include "os/darwin.h"
#include "process/argument_area.h"
#include "saturating.h"
#include "text/utf8.h"

namespace lumenstat {

namespace {

using darwin::kinfo_proc;

constexpr std::size_t kEntrySize = sizeof(kinfo_proc);
static_assert(sizeof(std::size_t) == 8, "capacity arithmetic assumes a 64-bit size_t");
constexpr std::size_t kTopBit = std::size_t{1} << 63;

std::size_t initial_capacity(std::size_t probed) {
    const std::size_t margin = probed / 5;
    // A probe this large can never be met; saturating keeps it from wrapping
    // into a small buffer and ends in the overflow failure instead.
    const std::size_t capacity = probed > std::numeric_limits<std::size_t>::max() - margin
                                     ? std::numeric_limits<std::size_t>::max()
                                     : probed + margin;
    return std::max(capacity, kEntrySize);
}

// Reads the argument area of `pid` into `scratch`, which is reused from one
// process to the next so that the table does not allocate per process.
std::vector<std::string> read_arguments(os::System& sys, std::int32_t pid,
                                        std::vector<std::uint8_t>& scratch) {
    const int name[3] = {darwin::CTL_KERN, darwin::KERN_PROCARGS2, pid};
    std::size_t probed = 0;
    if (sys.sysctl(name, 3, nullptr, &probed, nullptr, 0) != 0 || probed < 4) {
        return {};
    }
    if (scratch.size() < probed) {
        try {
            scratch.resize(probed);
        } catch (const std::bad_alloc&) {
            return {};
        } catch (const std::length_error&) {
            return {};
        }
    }
    std::size_t length = probed;
    if (sys.sysctl(name, 3, scratch.data(), &length, nullptr, 0) != 0 || length < 4) {
        return {};
    }
    // The area ends at the probed size, and whatever the kernel did not write
    // up to there would be zeros: each zero is an empty, dropped argument. So
    // stopping at the returned length gives the same arguments, without
    // zeroing the buffer for every process or reading the previous one's.
    return parse_argument_area(std::span(scratch.data(), std::min(length, probed)));
}

std::uint64_t task_resident_size(os::System& sys, std::int32_t pid) {
    darwin::proc_taskinfo task{};
    if (sys.proc_pidinfo(pid, darwin::PROC_PIDTASKINFO, 0, &task, sizeof task) > 0) {
        return task.pti_resident_size;
    }
    darwin::proc_taskallinfo all{};
    if (sys.proc_pidinfo(pid, darwin::PROC_PIDTASKALLINFO, 0, &all, sizeof all) > 0) {
        return all.ptinfo.pti_resident_size;
    }
    return 0;
}

// The first non-zero of four sources, each asked only when those before it
// gave nothing. `page_size` is 0 when the system did not report one. The first
// usage flavor carries both sizes and spares the kernel the disk counters.
std::uint64_t memory_usage(os::System& sys, const kinfo_proc& entry, std::uint64_t page_size) {
    darwin::rusage_info_v0 usage{};
    if (sys.proc_pid_rusage(entry.p_pid, darwin::RUSAGE_INFO_V0, &usage) >= 0) {
        if (usage.ri_phys_footprint != 0) {
            return usage.ri_phys_footprint;
        }
        if (usage.ri_resident_size != 0) {
            return usage.ri_resident_size;
        }
    }
    if (const std::uint64_t resident = task_resident_size(sys, entry.p_pid); resident != 0) {
        return resident;
    }
    const std::uint64_t pages =
        entry.e_xrssize > 0 ? static_cast<std::uint64_t>(entry.e_xrssize) : 0;
    return saturating_multiply(pages, page_size);
}

std::string command_name(const kinfo_proc& entry) {
    const char* comm = entry.p_comm;
    const auto* nul = static_cast<const char*>(std::memchr(comm, 0, darwin::MAXCOMLEN));
    const std::size_t length = nul ? static_cast<std::size_t>(nul - comm) : darwin::MAXCOMLEN;
    return lossy_utf8(std::string_view(comm, length));
}

}  // namespace

Result<ProcessEntries> ProcessEntries::read(os::System& sys) {
    const int name[3] = {darwin::CTL_KERN, darwin::KERN_PROC, darwin::KERN_PROC_ALL};
    std::size_t probed = 0;
    if (sys.sysctl(name, 3, nullptr, &probed, nullptr, 0) != 0) {
        return std::unexpected(QueryError::sys_call("sysctl KERN_PROC_ALL size failed"));
    }
    std::size_t capacity = initial_capacity(probed);
    for (;;) {
        // A capacity with the top bit set cannot be allocated, nor doubled.
        if (capacity & kTopBit) {
            return std::unexpected(
                QueryError::sys_call("sysctl KERN_PROC_ALL buffer size overflow"));
        }
        const std::size_t allocated = capacity / kEntrySize + (capacity % kEntrySize != 0);
        ProcessEntries table;
        // calloc: whole zeroed entries, and failure is a value rather than an exception.
        table.entries_.reset(static_cast<kinfo_proc*>(std::calloc(allocated, kEntrySize)));
        if (!table.entries_) {
            return std::unexpected(
                QueryError::sys_call("sysctl KERN_PROC_ALL buffer allocation failed"));
        }
        std::size_t length = capacity;
        if (sys.sysctl(name, 3, table.entries_.get(), &length, nullptr, 0) == 0) {
            // A length beyond the capacity given would be a broken answer; the
            // kernel wrote nothing past it.
            table.count_ = std::min(length, capacity) / kEntrySize;
            return table;
        }
        const int error = errno;
        if (error != ENOMEM) {
            return std::unexpected(QueryError::sys_call("sysctl KERN_PROC_ALL failed (errno " +
                                                        std::to_string(error) + ")"));
        }
        capacity *= 2;
    }
}

std::uint32_t ProcessEntries::pid(std::size_t i) const {
    return static_cast<std::uint32_t>(entries_[i].p_pid);
}

std::uint32_t ProcessEntries::ppid(std::size_t i) const {
    return static_cast<std::uint32_t>(entries_[i].e_ppid);
}

ProcessInfo ProcessEntries::describe(os::System& sys, std::size_t i) {
    const kinfo_proc& entry = entries_[i];
    ProcessInfo info;
    info.pid = pid(i);
    info.ppid = ppid(i);
    info.name = command_name(entry);
    info.status = status_from_p_stat(entry.p_stat);
    info.cmdline = read_arguments(sys, entry.p_pid, scratch_);
    if (!info.cmdline.empty()) {
        info.exe_path = info.cmdline.front();
    }
    // Dropping the microseconds; a start before the epoch is not a real one.
    info.start_time =
        entry.p_starttime.tv_sec > 0 ? static_cast<std::uint64_t>(entry.p_starttime.tv_sec) : 0;
    return info;
}

std::string_view status_text(ProcessStatus status) {
    constexpr std::string_view texts[] = {"Running", "Sleeping", "Stopped",
                                          "Zombie",  "Idle",     "Unknown"};
    const auto index = static_cast<std::size_t>(status);
    return index < std::size(texts) ? texts[index] : texts[std::size(texts) - 1];
}

ProcessStatus status_from_p_stat(int p_stat) {
    using enum ProcessStatus;
    // Indexed by p_stat; 0 and everything past SZOMB is Unknown.
    constexpr ProcessStatus by_p_stat[] = {Unknown, Idle, Running, Sleeping, Stopped, Zombie};
    static_assert(darwin::SIDL == 1 && darwin::SRUN == 2 && darwin::SSLEEP == 3 &&
                  darwin::SSTOP == 4 && darwin::SZOMB == 5);
    return p_stat >= 0 && static_cast<std::size_t>(p_stat) < std::size(by_p_stat)
               ? by_p_stat[p_stat]
               : Unknown;
}

Result<std::vector<ProcessInfo>> get_processes(os::System& sys) {
    os::QueryScope scope(sys, os::ScopeAsks::arguments_of_every_listed_process);
    auto table = ProcessEntries::read(sys);
    if (!table) {
        return std::unexpected(std::move(table.error()));
    }
    std::vector<ProcessInfo> processes;
    processes.reserve(table->size());
    if (table->size() == 0) {
        return processes;
    }
    // A page size the system does not report makes the page-count source 0
    // rather than a wrapped multiplier.
    const long page_size = sys.sysconf(darwin::SC_PAGESIZE);
    const std::uint64_t multiplier = page_size > 0 ? static_cast<std::uint64_t>(page_size) : 0;
    for (std::size_t i = 0; i < table->size(); ++i) {
        ProcessInfo& info = processes.emplace_back(table->describe(sys, i));
        info.memory_usage = memory_usage(sys, table->entry(i), multiplier);
    }
    return processes;
}

}  // namespace lumenstat
