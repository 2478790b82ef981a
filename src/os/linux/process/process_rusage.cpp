// proc_pid_rusage from /proc/PID/stat and /proc/PID/io.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

#include "os/darwin.h"
#include "os/linux/linux_system.h"
#include "os/linux/proc_files.h"
#include "os/linux/process/process_memo.h"
#include "os/linux/process/process_stat.h"

namespace lumenstat::os {

namespace {

// Bytes the process made the storage layer fetch and send. Darwin refuses the
// whole call for a process whose counters the caller may not see (another
// user's), so a refused /proc/PID/io fails it with EPERM rather than showing
// zeros; a kernel built without I/O accounting has no such file at all, and
// then the counters are left at 0.
bool fill_disk_io(int pid, darwin::rusage_info_v2& usage) {
    char path[64];
    char buffer[512];
    if (!procfs::pid_path(path, sizeof path, pid, "io")) {
        errno = ESRCH;
        return false;
    }
    long n = procfs::read_file(AT_FDCWD, path, buffer, sizeof buffer);
    if (n < 0) {
        const int failure = errno;
        char process[64];
        if (failure == ENOENT && procfs::pid_path(process, sizeof process, pid, "") &&
            ::access(process, F_OK) == 0) {
            return true;
        }
        errno = procfs::process_errno(failure);
        return false;
    }
    std::string_view text(buffer, static_cast<std::size_t>(n));
    procfs::keyed_u64(text, "read_bytes:", usage.ri_diskio_bytesread);
    procfs::keyed_u64(text, "write_bytes:", usage.ri_diskio_byteswritten);
    return true;
}

// Darwin refuses every flavor for a process whose counters the caller may not
// see. The flavor without disk counters takes the verdict the open query
// scope found building the argument area of `pid`, by the same check that
// guards /proc/PID/io; otherwise from reading that file.
bool counters_visible(int pid) {
    if (std::optional<bool> refused = procfs::remembered_inspection_refusal(pid)) {
        if (*refused) {
            errno = EPERM;
        }
        return !*refused;
    }
    darwin::rusage_info_v2 unused{};
    return fill_disk_io(pid, unused);
}

}  // namespace

// The resident size and the footprint are both the resident set size, as
// `ps -o rss` shows it: Linux keeps no separate footprint.
int LinuxSystem::proc_pid_rusage(int pid, int flavor, void* buffer) {
    if (flavor != darwin::RUSAGE_INFO_V0 && flavor != darwin::RUSAGE_INFO_V2) {
        errno = EINVAL;
        return -1;
    }
    if (buffer == nullptr) {
        errno = EFAULT;
        return -1;
    }
    procfs::ProcessStat stat;
    if (!procfs::stat_of(pid, stat)) {
        return -1;
    }
    if (!procfs::leads_thread_group(stat)) {
        errno = ESRCH;
        return -1;
    }
    darwin::rusage_info_v2 usage{};
    usage.ri_user_time = procfs::ticks_to_ns(stat.utime);
    usage.ri_system_time = procfs::ticks_to_ns(stat.stime);
    usage.ri_pageins = stat.majflt;
    usage.ri_resident_size = procfs::resident_bytes(stat);
    usage.ri_phys_footprint = usage.ri_resident_size;
    usage.ri_proc_start_abstime = procfs::ticks_to_ns(stat.starttime);
    usage.ri_child_user_time = procfs::ticks_to_ns(stat.cutime);
    usage.ri_child_system_time = procfs::ticks_to_ns(stat.cstime);
    if (flavor == darwin::RUSAGE_INFO_V0) {
        if (!counters_visible(pid)) {
            return -1;
        }
        // The first flavor is the leading part of the later ones.
        std::memcpy(buffer, &usage, sizeof(darwin::rusage_info_v0));
        return 0;
    }
    if (!fill_disk_io(pid, usage)) {
        return -1;
    }
    std::memcpy(buffer, &usage, sizeof usage);
    return 0;
}

}  // namespace lumenstat::os
