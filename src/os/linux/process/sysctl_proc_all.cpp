// The process table, {CTL_KERN, KERN_PROC, KERN_PROC_ALL}: one kinfo_proc per
// directory of /proc, from its stat line.
#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "os/darwin.h"
#include "os/linux/proc_files.h"
#include "os/linux/process/process_memo.h"
#include "os/linux/process/process_stat.h"
#include "os/linux/read_ahead.h"
#include "os/linux/sysctl_handlers.h"
#include "os/linux/unique_dir.h"

namespace lumenstat::os::procfs {

namespace {

constexpr std::size_t spare_entries = 5;

void fill_entry(darwin::kinfo_proc& entry, const ProcessStat& stat, std::uint64_t boot_seconds,
                std::uint64_t hz) {
    entry.p_starttime.tv_sec = static_cast<std::int64_t>(boot_seconds + stat.starttime / hz);
    entry.p_starttime.tv_usec = static_cast<std::int32_t>(stat.starttime % hz * 1'000'000 / hz);
    entry.p_stat = darwin_process_state(stat.state);
    entry.p_pid = stat.pid;
    std::memcpy(entry.p_comm, stat.comm, sizeof stat.comm);
    entry.e_ppid = stat.ppid;
    entry.e_xrssize =
        static_cast<std::int16_t>(std::min<std::uint64_t>(resident_pages(stat), INT16_MAX));
}

// Answers a size probe. Like Darwin's kernel, it answers with room for a few
// processes more than exist now, so that a fetch right after it usually
// fits. The processes it lists are kept for the fetch that follows in this
// query scope; a listing that fails is not: the size is only an estimate, so
// the fetch lists /proc itself and reports what fails then.
int probe_table_size(std::size_t* oldlenp) {
    std::vector<int>& listed = table_pids_buffer();
    UniqueDir dir(::opendir("/proc"));
    if (dir && list_pids(dir.get(), listed)) {
        remember_table_pids();
    }
    *oldlenp = (listed.size() + spare_entries) * sizeof(darwin::kinfo_proc);
    return 0;
}

// One process's stat line, and its argument area when the scope asks for
// those; `error` is the errno of a stat line that could not be read, as
// read_process_stat sets it, 0 when it was read.
struct StatReading {
    int error = 0;
    ProcessStat stat;
    ArgsReading args;
};

// Reads `pid` into `out`, its stat line relative to `proc_fd` (an open /proc,
// or AT_FDCWD). A process without an address space (a kernel thread, a
// zombie) has no arguments to read.
void read_entry(int proc_fd, int pid, bool with_args, StatReading& out) {
    out.error = read_process_stat(proc_fd, pid, out.stat) ? 0 : errno;
    if (out.error != 0 || !with_args) {
        return;
    }
    if (out.stat.vsize != 0) {
        read_args_area(pid, out.stat, out.args);
    } else {
        out.args = ArgsReading{};
        out.args.error = EINVAL;
    }
}

void read_stat_ahead(int pid, StatReading& out) { read_entry(AT_FDCWD, pid, false, out); }

void read_stat_and_args_ahead(int pid, StatReading& out) { read_entry(AT_FDCWD, pid, true, out); }

// A smaller table is read on the calling thread alone.
constexpr std::size_t kStatsWorthReadingAhead = 64;

}  // namespace

int kern_proc_all(void* oldp, std::size_t* oldlenp) {
    if (oldp == nullptr) {
        return probe_table_size(oldlenp);
    }
    UniqueDir dir(::opendir("/proc"));
    if (!dir) {
        return -1;
    }
    std::uint64_t boot_seconds = 0;
    if (!boot_time_seconds(boot_seconds)) {
        return -1;
    }
    // The processes the size probe of this scope listed, else listed now.
    std::vector<int> listed;
    const std::vector<int>* remembered = remembered_table_pids();
    if (remembered == nullptr && !list_pids(dir.get(), listed)) {
        return -1;
    }
    const std::vector<int>& pids = remembered != nullptr ? *remembered : listed;

    constexpr std::size_t entry_size = sizeof(darwin::kinfo_proc);
    const auto hz = static_cast<std::uint64_t>(clock_ticks_per_second());
    const int proc_fd = ::dirfd(dir.get());
    const std::size_t room = *oldlenp / entry_size;
    auto* out = static_cast<unsigned char*>(oldp);
    // The stat lines are kept for the calls the open query scope makes next,
    // with the argument areas when it is to ask for those.
    const bool keep = keeping();
    std::vector<ProcessStat> stats;
    std::vector<ArgsReading> args;
    if (keep) {
        stats.reserve(std::min<std::size_t>(room, 1 << 16));
    }
    std::size_t written = 0;
    bool overflow = false;
    // The stat lines of the last processes are read on a helper thread while
    // this one reads the first ones; the helper ends with this call. The
    // areas are kept beside the stat lines, which must then come in pid order.
    const bool sorted = std::ranges::is_sorted(pids);
    const bool with_args = sorted && arguments_with_table();
    if (with_args) {
        args.reserve(stats.capacity());
    }
    std::unique_ptr<linux_ahead::ReadAhead<StatReading>> ahead;
    if (pids.size() >= kStatsWorthReadingAhead && sorted) {
        ahead = linux_ahead::ReadAhead<StatReading>::start(
            pids, with_args ? read_stat_and_args_ahead : read_stat_ahead);
    }
    StatReading now;
    for (int pid : pids) {
        StatReading* reading = ahead ? ahead->take(pid) : nullptr;
        if (reading == nullptr) {
            read_entry(proc_fd, pid, with_args, now);
            reading = &now;
        }
        // A process that exits between the listing and the read is left
        // out; a caller out of descriptors or memory can read no process.
        if (reading->error == ESRCH) {
            continue;
        }
        if (caller_short_of_resources(reading->error)) {
            errno = reading->error;
            return -1;
        }
        if (written == room) {
            overflow = true;
            break;
        }
        // A process whose stat line cannot be read is there all the same:
        // it is listed with its pid, the rest unknown.
        darwin::kinfo_proc entry{};
        entry.p_pid = pid;
        if (reading->error == 0) {
            fill_entry(entry, reading->stat, boot_seconds, hz);
        }
        std::memcpy(out + written * entry_size, &entry, entry_size);
        ++written;
        if (reading->error != 0) {
            continue;
        }
        if (keep) {
            stats.push_back(reading->stat);
        }
        if (with_args) {
            args.push_back(std::move(reading->args));
        }
    }
    *oldlenp = written * entry_size;
    if (overflow) {
        errno = ENOMEM;
        return -1;
    }
    if (keep) {
        auto by_pid = [](const ProcessStat& a, const ProcessStat& b) { return a.pid < b.pid; };
        if (!std::is_sorted(stats.begin(), stats.end(), by_pid)) {
            std::sort(stats.begin(), stats.end(), by_pid);
        }
        remember_stats(std::move(stats), std::move(args));
    }
    return 0;
}

}  // namespace lumenstat::os::procfs
