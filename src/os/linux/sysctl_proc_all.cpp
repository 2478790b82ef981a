// The process table, {CTL_KERN, KERN_PROC, KERN_PROC_ALL}: one kinfo_proc per
// directory of /proc, from its stat line.
#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <vector>

#include "os/darwin.h"
#include "os/linux/proc_files.h"
#include "os/linux/process_memo.h"
#include "os/linux/process_stat.h"
#include "os/linux/read_ahead.h"
#include "os/linux/sysctl_handlers.h"

namespace lumenstat::os::procfs {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// Like Darwin's kernel, a size probe answers with room for a few processes
// more than exist now, so that a fetch right after it usually fits.
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

bool next_pid(DIR* dir, int& pid) {
    while (const dirent* entry = ::readdir(dir)) {
        if (!is_pid_name(entry->d_name)) {
            continue;
        }
        const char* end = entry->d_name + std::strlen(entry->d_name);
        if (std::from_chars(entry->d_name, end, pid).ec == std::errc{}) {
            return true;
        }
    }
    return false;
}

// The processes of /proc in directory order: those the size probe of this
// query scope found, else read now into `listed`.
const std::vector<int>& table_pids(DIR* dir, std::vector<int>& listed) {
    if (const std::vector<int>* kept = remembered_table_pids()) {
        return *kept;
    }
    int pid = 0;
    while (next_pid(dir, pid)) {
        listed.push_back(pid);
    }
    return listed;
}

// One process's stat line, and its argument area when the scope asks for
// those; `read` is false when the stat line could not be read (the process
// has gone).
struct StatReading {
    bool read = false;
    ProcessStat stat;
    ArgsReading args;
};

// Reads `pid` into `out`, its stat line relative to `proc_fd` (an open /proc,
// or AT_FDCWD). A process without an address space (a kernel thread, a
// zombie) has no arguments to read.
void read_entry(int proc_fd, int pid, bool with_args, StatReading& out) {
    out.read = read_process_stat(proc_fd, pid, out.stat);
    if (!out.read || !with_args) {
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
    Dir dir(::opendir("/proc"));
    if (!dir) {
        return -1;
    }
    constexpr std::size_t entry_size = sizeof(darwin::kinfo_proc);
    if (oldp == nullptr) {
        // The fetch that follows in this scope reads the processes found here.
        std::vector<int>& listed = table_pids_buffer();
        int pid = 0;
        while (next_pid(dir.get(), pid)) {
            listed.push_back(pid);
        }
        remember_table_pids();
        *oldlenp = (listed.size() + spare_entries) * entry_size;
        return 0;
    }

    std::uint64_t boot_seconds = 0;
    if (!boot_time_seconds(boot_seconds)) {
        return -1;
    }
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
    std::vector<int> listed;
    const std::vector<int>& pids = table_pids(dir.get(), listed);
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
        // A process that exits between the listing and the read is left out.
        if (!reading->read) {
            continue;
        }
        if (written == room) {
            overflow = true;
            break;
        }
        darwin::kinfo_proc entry{};
        fill_entry(entry, reading->stat, boot_seconds, hz);
        std::memcpy(out + written * entry_size, &entry, entry_size);
        ++written;
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
