// A process's argument area, {CTL_KERN, KERN_PROCARGS2, pid}, laid out as on
// Darwin: argc (4 bytes, little-endian), the path exec was given, NUL
// padding, then the arguments, each NUL-terminated.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "os/linux/proc_files.h"
#include "os/linux/process/process_memo.h"
#include "os/linux/process/stack_strings.h"
#include "os/linux/sysctl_handlers.h"

namespace lumenstat::os::procfs {

namespace {

// The arguments start on an 8-byte boundary, as Darwin aligns its string area.
constexpr std::size_t string_alignment = 8;

// The exe link's path into `link`, empty when it cannot be read (another
// user's process) or is too long; whether the caller was refused inspecting
// the process into `reading`, and the link's errno into `link_error`.
std::string_view read_exe_link(const char* path, char (&link)[PATH_MAX], ArgsReading& reading,
                               int& link_error) {
    const ssize_t length = ::readlink(path, link, sizeof link);
    link_error = length < 0 ? errno : 0;
    if (length >= 0 || link_error == EACCES || link_error == EPERM) {
        reading.inspection_refused = length < 0;
    }
    if (length <= 0 || static_cast<std::size_t>(length) == sizeof link) {
        return {};
    }
    return std::string_view(link, static_cast<std::size_t>(length));
}

// /proc/PID/cmdline (at `path`) into `area` after `header` bytes of room;
// false when it cannot be read.
bool read_cmdline(const char* path, std::size_t header, std::string& area) {
    // Most argument areas fit a page: those are stored at their own size, so
    // that areas read ahead do not each hold a page.
    char text[4096];
    const long n = read_file(AT_FDCWD, path, text, sizeof text);
    if (n < 0) {
        return false;
    }
    if (static_cast<std::size_t>(n) == sizeof text) {
        return read_file(path, area, header, ShortRead::ends_file);
    }
    area.clear();
    area.reserve(header + static_cast<std::size_t>(n) + 1);
    area.resize(header);
    area.append(text, static_cast<std::size_t>(n));
    return true;
}

}  // namespace

void read_args_area(int pid, const ProcessStat& stat, ArgsReading& reading) {
    std::string& area = reading.area;
    reading.error = 0;
    reading.inspection_refused.reset();
    char path[64];
    if (!pid_path(path, sizeof path, pid, "exe")) {
        reading.error = EINVAL;
        return;
    }
    StackStrings strings;
    strings.read(pid, stat);
    char link[PATH_MAX];
    std::string_view exe;
    int link_error = 0;
    if (const auto exec_path = strings.exec_path()) {
        // Its memory was read: the caller may inspect the process, which is
        // what the exe link would have checked.
        exe = *exec_path;
        reading.inspection_refused = false;
    } else {
        exe = read_exe_link(path, link, reading, link_error);
    }
    std::size_t header = 4 + exe.size() + 1;
    header += (string_alignment - header % string_alignment) % string_alignment;

    bool read = true;
    if (const auto arguments = strings.arguments()) {
        area.clear();
        area.reserve(header + arguments->size());
        area.resize(header);
        area.append(*arguments);
    } else {
        pid_path(path, sizeof path, pid, "cmdline");
        read = read_cmdline(path, header, area);
    }
    if (!read || area.size() == header) {
        // The link is checked before it is followed: one missing from a
        // process still there (a kernel thread, a zombie) was not refused.
        if (read && link_error == ENOENT) {
            reading.inspection_refused = false;
        }
        area.clear();
        reading.error = EINVAL;
        return;
    }
    if (area.back() != '\0') {
        area.push_back('\0');
    }
    auto argc = static_cast<std::uint32_t>(std::count(area.begin() + header, area.end(), '\0'));
    for (int i = 0; i < 4; ++i) {
        area[i] = static_cast<char>(argc >> (8 * i) & 0xff);
    }
    std::ranges::copy(exe, area.data() + 4);
    std::memset(area.data() + 4 + exe.size(), 0, header - 4 - exe.size());
}

namespace {

// Builds the area of `pid` into `area`: the one this scope's table read,
// else one read now. A thread id that is not a process's fails with EINVAL,
// as an unused pid does.
bool build_args_area(int pid, std::string& area) {
    // The stat line tells which processes have no address space to hold
    // arguments, which ids are processes, and where the arguments lie: a
    // listing in this scope has read it already.
    const ProcessStat* stat = remembered_stat(pid);
    ProcessStat read_now;
    if (stat == nullptr && read_stat_line(AT_FDCWD, pid, read_now)) {
        stat = &read_now;
    }
    if (stat == nullptr || stat->vsize == 0 || !leads_thread_group(*stat)) {
        errno = EINVAL;
        return false;
    }
    ArgsReading now;
    ArgsReading* reading = stat == &read_now ? nullptr : take_table_args(*stat);
    if (reading == nullptr) {
        now.area.swap(area);
        read_args_area(pid, *stat, now);
        reading = &now;
    }
    if (reading->inspection_refused) {
        remember_inspection_refusal(pid, *reading->inspection_refused);
    }
    area.swap(reading->area);
    if (reading->error != 0) {
        area.clear();
        errno = reading->error;
        return false;
    }
    return true;
}

}  // namespace

// The caller probes the size and then fetches; in a query scope the probe
// keeps the area it built so that the fetch reads /proc no second time.
int kern_procargs2(int pid, void* oldp, std::size_t* oldlenp) {
    const std::string* area = oldp != nullptr ? remembered_args_area(pid) : nullptr;
    if (area == nullptr) {
        std::string& built = args_area_buffer();
        if (!build_args_area(pid, built)) {
            return -1;
        }
        area = &built;
    }
    if (oldp == nullptr) {
        remember_args_area(pid);
        *oldlenp = area->size();
        return 0;
    }
    int result = copy_out(area->data(), area->size(), oldp, oldlenp);
    int saved = errno;
    forget_args_area();
    errno = saved;
    return result;
}

}  // namespace lumenstat::os::procfs
