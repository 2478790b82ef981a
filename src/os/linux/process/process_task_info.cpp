#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "os/darwin.h"
#include "os/linux/proc_files.h"
#include "os/linux/process/process_info.h"
#include "os/linux/process/process_memo.h"
#include "os/linux/process/process_stat.h"

namespace lumenstat::os::procfs {

namespace {

constexpr std::uint32_t no_device = 0xffffffff;  // Darwin's NODEV

std::int32_t clamp32(std::uint64_t value) {
    return static_cast<std::int32_t>(std::min<std::uint64_t>(value, INT32_MAX));
}

// Checks the buffer as the kernel does: too small is ENOMEM, before the
// process is looked up.
bool usable(void* buffer, int buffersize, std::size_t needed) {
    if (buffersize < 0 || static_cast<std::size_t>(buffersize) < needed) {
        errno = ENOMEM;
        return false;
    }
    if (buffer == nullptr) {
        errno = EFAULT;
        return false;
    }
    return true;
}

void fill_task(darwin::proc_taskinfo& task, const ProcessStat& stat) {
    task.pti_virtual_size = stat.vsize;
    task.pti_resident_size = resident_bytes(stat);
    // Linux's counters already include the threads that have exited.
    task.pti_total_user = ticks_to_ns(stat.utime);
    task.pti_total_system = ticks_to_ns(stat.stime);
    task.pti_threads_user = task.pti_total_user;
    task.pti_threads_system = task.pti_total_system;
    task.pti_faults = clamp32(stat.minflt + stat.majflt);
    task.pti_pageins = clamp32(stat.majflt);
    task.pti_threadnum =
        clamp32(static_cast<std::uint64_t>(std::max<std::int64_t>(stat.num_threads, 0)));
}

// Real, effective and saved ids of a "Uid:" or "Gid:" line of /proc/PID/status.
struct Ids {
    std::uint64_t real = 0;
    std::uint64_t effective = 0;
    std::uint64_t saved = 0;
};

bool parse_ids(std::string_view status, std::string_view key, Ids& ids) {
    std::size_t at = status.find(key);
    while (at != std::string_view::npos && at != 0 && status[at - 1] != '\n') {
        at = status.find(key, at + 1);
    }
    if (at == std::string_view::npos) {
        return false;
    }
    std::string_view line = status.substr(at + key.size());
    return parse_u64(line, ids.real) && parse_u64(line, ids.effective) &&
           parse_u64(line, ids.saved);
}

std::uint32_t count_descriptors(int pid) {
    char path[64];
    if (!pid_path(path, sizeof path, pid, "fd")) {
        return 0;
    }
    DIR* dir = ::opendir(path);
    if (dir == nullptr) {
        return 0;
    }
    std::uint32_t count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(dir);
    return count;
}

// Linux's dev_t of a terminal in Darwin's encoding (major << 24 | minor).
std::uint32_t darwin_tty(int tty_nr) {
    if (tty_nr == 0) {
        return no_device;
    }
    auto dev = static_cast<std::uint32_t>(tty_nr);
    std::uint32_t major = (dev >> 8) & 0xfff;
    std::uint32_t minor = (dev & 0xff) | ((dev >> 12) & 0xfff00);
    return major << 24 | (minor & 0xffffff);
}

// The resident size from VmRSS of /proc/PID/status when the stat line came
// without statm's: the same exact count, in kB. A process without an address
// space has no VmRSS line and nothing resident; one that lost it since its
// stat line was read keeps that line's approximate count.
void take_resident(std::string_view status, ProcessStat& stat) {
    if (stat.resident >= 0) {
        return;
    }
    std::uint64_t kilobytes = 0;
    if (stat.vsize == 0) {
        stat.resident = 0;
    } else if (keyed_u64(status, "VmRSS:", kilobytes)) {
        stat.resident = static_cast<std::int64_t>(
            std::min<std::uint64_t>(kilobytes / (page_size() / 1024), INT64_MAX));
    }
}

bool fill_bsd(darwin::proc_bsdinfo& bsd, std::string_view status, const ProcessStat& stat) {
    Ids uid;
    Ids gid;
    std::uint64_t boot_seconds = 0;
    // A status cut short is a process's that ended while it was read.
    if (!parse_ids(status, "Uid:", uid) || !parse_ids(status, "Gid:", gid)) {
        errno = ESRCH;
        return false;
    }
    if (!boot_time_seconds(boot_seconds)) {
        return false;
    }
    bsd.pbi_status = static_cast<std::uint32_t>(darwin_process_state(stat.state));
    bsd.pbi_pid = static_cast<std::uint32_t>(stat.pid);
    bsd.pbi_ppid = static_cast<std::uint32_t>(stat.ppid);
    bsd.pbi_uid = static_cast<std::uint32_t>(uid.effective);
    bsd.pbi_gid = static_cast<std::uint32_t>(gid.effective);
    bsd.pbi_ruid = static_cast<std::uint32_t>(uid.real);
    bsd.pbi_rgid = static_cast<std::uint32_t>(gid.real);
    bsd.pbi_svuid = static_cast<std::uint32_t>(uid.saved);
    bsd.pbi_svgid = static_cast<std::uint32_t>(gid.saved);
    std::memcpy(bsd.pbi_comm, stat.comm, sizeof bsd.pbi_comm - 1);
    std::memcpy(bsd.pbi_name, stat.comm, sizeof stat.comm);
    // FDSize is the size of the descriptor table, as Darwin's pbi_nfiles is.
    std::uint64_t table_size = 0;
    bsd.pbi_nfiles =
        keyed_u64(status, "FDSize:", table_size)
            ? static_cast<std::uint32_t>(std::min<std::uint64_t>(table_size, UINT32_MAX))
            : count_descriptors(stat.pid);
    bsd.pbi_pgid = static_cast<std::uint32_t>(stat.pgrp);
    bsd.e_tdev = darwin_tty(stat.tty_nr);
    bsd.e_tpgid = stat.tpgid > 0 ? static_cast<std::uint32_t>(stat.tpgid) : 0;
    bsd.pbi_nice = static_cast<std::int32_t>(stat.nice);
    const auto hz = static_cast<std::uint64_t>(clock_ticks_per_second());
    bsd.pbi_start_tvsec = boot_seconds + stat.starttime / hz;
    bsd.pbi_start_tvusec = stat.starttime % hz * 1'000'000 / hz;
    return true;
}

}  // namespace

int pid_task_info(int pid, void* buffer, int buffersize) {
    if (!usable(buffer, buffersize, sizeof(darwin::proc_taskinfo))) {
        return 0;
    }
    ProcessStat stat;
    if (!stat_of(pid, stat)) {
        return 0;
    }
    if (!leads_thread_group(stat)) {
        errno = ESRCH;
        return 0;
    }
    darwin::proc_taskinfo task{};
    fill_task(task, stat);
    std::memcpy(buffer, &task, sizeof task);
    return static_cast<int>(sizeof task);
}

int pid_task_all_info(int pid, void* buffer, int buffersize) {
    if (!usable(buffer, buffersize, sizeof(darwin::proc_taskallinfo))) {
        return 0;
    }
    // The status text is read for the ids and the descriptor table size in
    // any case, so statm is not read for the resident size.
    ProcessStat stat;
    if (const ProcessStat* remembered = remembered_stat(pid)) {
        stat = *remembered;
    } else if (!read_stat_line(AT_FDCWD, pid, stat)) {
        return 0;
    }
    if (!leads_thread_group(stat)) {
        errno = ESRCH;
        return 0;
    }
    char path[64];
    pid_path(path, sizeof path, pid, "status");
    char text[4096];
    long n = read_file(AT_FDCWD, path, text, sizeof text);
    if (n < 0) {
        errno = process_errno(errno);
        return 0;
    }
    std::string_view status(text, static_cast<std::size_t>(n));
    take_resident(status, stat);
    darwin::proc_taskallinfo all{};
    if (!fill_bsd(all.pbsd, status, stat)) {
        return 0;
    }
    fill_task(all.ptinfo, stat);
    std::memcpy(buffer, &all, sizeof all);
    return static_cast<int>(sizeof all);
}

}  // namespace lumenstat::os::procfs
