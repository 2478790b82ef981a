#include "os/linux/process/process_stat.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "os/darwin.h"
#include "os/linux/proc_files.h"

namespace lumenstat::os::procfs {

namespace {

bool parse_int(std::string_view& text, int& value) {
    std::int64_t wide = 0;
    if (!parse_i64(text, wide) || wide < INT32_MIN || wide > INT32_MAX) {
        return false;
    }
    value = static_cast<int>(wide);
    return true;
}

bool skip_fields(std::string_view& text, int count) {
    for (int i = 0; i < count; ++i) {
        if (!skip_field(text)) {
            return false;
        }
    }
    return true;
}

// Fields 28, 38 and 48 to 51 from the rest of the line, field 25 on. A line
// that ends before them leaves the process taken as a thread group's leader
// with its stack's addresses unknown, so this never fails.
bool parse_tail(std::string_view rest, ProcessStat& out) {
    std::uint64_t start_stack = 0;
    if (!skip_fields(rest, 3) || !parse_u64(rest, start_stack)) {  // 25-27, 28
        return true;
    }
    out.start_stack = start_stack;
    int exit_signal = 0;
    if (!skip_fields(rest, 9) || !parse_int(rest, exit_signal)) {  // 29-37, 38
        return true;
    }
    out.exit_signal = exit_signal;
    std::uint64_t arg_start = 0, arg_end = 0, env_end = 0;
    // A line cut short within field 51 would give a part of its number.
    if (skip_fields(rest, 9) && parse_u64(rest, arg_start) &&  // 39-47, 48
        parse_u64(rest, arg_end) && skip_fields(rest, 1) &&    // 49, 50 env_start
        parse_u64(rest, env_end) && !rest.empty()) {           // 51, and what follows
        out.arg_start = arg_start;
        out.arg_end = arg_end;
        out.env_end = env_end;
    }
    return true;
}

}  // namespace

bool parse_process_stat(std::string_view text, ProcessStat& out) {
    out = ProcessStat{};
    std::size_t open = text.find(" (");
    std::size_t close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open + 2) {
        return false;
    }
    std::string_view head = text.substr(0, open);
    if (!parse_int(head, out.pid) || !head.empty()) {
        return false;
    }
    std::string_view comm = text.substr(open + 2, close - open - 2);
    std::size_t n = std::min(comm.size(), sizeof out.comm - 1);
    std::memcpy(out.comm, comm.data(), n);
    out.comm[n] = '\0';

    // Fields 3 onwards, numbered as in proc(5).
    std::string_view rest = text.substr(close + 1);
    if (rest.size() < 2 || rest[0] != ' ') {
        return false;
    }
    out.state = rest[1];
    rest.remove_prefix(2);
    std::uint64_t ignored = 0;
    return parse_int(rest, out.ppid)            // 4
           && parse_int(rest, out.pgrp)         // 5
           && skip_fields(rest, 1)              // 6 session
           && parse_int(rest, out.tty_nr)       // 7
           && parse_int(rest, out.tpgid)        // 8
           && skip_fields(rest, 1)              // 9 flags
           && parse_u64(rest, out.minflt)       // 10
           && skip_fields(rest, 1)              // 11 cminflt
           && parse_u64(rest, out.majflt)       // 12
           && skip_fields(rest, 1)              // 13 cmajflt
           && parse_u64(rest, out.utime)        // 14
           && parse_u64(rest, out.stime)        // 15
           && parse_u64(rest, out.cutime)       // 16
           && parse_u64(rest, out.cstime)       // 17
           && parse_i64(rest, out.priority)     // 18
           && parse_i64(rest, out.nice)         // 19
           && parse_i64(rest, out.num_threads)  // 20
           && parse_u64(rest, ignored)          // 21 itrealvalue
           && parse_u64(rest, out.starttime)    // 22
           && parse_u64(rest, out.vsize)        // 23
           && parse_i64(rest, out.rss)          // 24
           && parse_tail(rest, out);            // 28, 38, 48-51, when there
}

namespace {

// "/proc/<pid>/<leaf>", or "<pid>/<leaf>" relative to an open /proc.
const char* stat_path(char (&path)[64], int proc_dirfd, int pid, const char* leaf) {
    if (!pid_path(path, sizeof path, pid, leaf)) {
        return nullptr;
    }
    return proc_dirfd == AT_FDCWD ? path : path + 6;
}

}  // namespace

bool read_stat_line(int proc_dirfd, int pid, ProcessStat& out) {
    char path[64];
    const char* at = stat_path(path, proc_dirfd, pid, "stat");
    if (at == nullptr) {
        errno = ESRCH;
        return false;
    }
    char buffer[1024];
    long n = read_file(proc_dirfd, at, buffer, sizeof buffer);
    if (n < 0) {
        errno = process_errno(errno);
        return false;
    }
    // A process reaped between the open and the read leaves nothing to read.
    if (n == 0) {
        errno = ESRCH;
        return false;
    }
    if (!parse_process_stat(std::string_view(buffer, static_cast<std::size_t>(n)), out) ||
        out.pid != pid) {
        errno = EIO;
        return false;
    }
    return true;
}

bool read_process_stat(int proc_dirfd, int pid, ProcessStat& out) {
    if (!read_stat_line(proc_dirfd, pid, out)) {
        return false;
    }
    // A process without an address space (a kernel thread, a zombie) has
    // nothing resident.
    if (out.vsize == 0) {
        out.resident = 0;
        return true;
    }
    // "<size> <resident> ...": a process gone by now keeps the stat line's count.
    char path[64];
    const char* at = stat_path(path, proc_dirfd, pid, "statm");
    char buffer[256];
    long n = at != nullptr ? read_file(proc_dirfd, at, buffer, sizeof buffer) : -1;
    if (n < 0 && caller_short_of_resources(errno)) {
        return false;
    }
    std::string_view statm(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    std::uint64_t size = 0;
    std::uint64_t resident = 0;
    if (parse_u64(statm, size) && parse_u64(statm, resident) && resident <= INT64_MAX) {
        out.resident = static_cast<std::int64_t>(resident);
    }
    return true;
}

char darwin_process_state(char linux_state) {
    switch (linux_state) {
        case 'R':
            return darwin::SRUN;
        case 'S':
        case 'D':
            return darwin::SSLEEP;
        case 'T':
        case 't':
            return darwin::SSTOP;
        case 'Z':
            return darwin::SZOMB;
        case 'I':
            return darwin::SIDL;
        default:
            return 0;
    }
}

long clock_ticks_per_second() {
    long hz = ::sysconf(_SC_CLK_TCK);
    return hz > 0 ? hz : 100;
}

std::uint64_t ticks_to_ns(std::uint64_t ticks) {
    auto hz = static_cast<std::uint64_t>(clock_ticks_per_second());
    unsigned __int128 ns = static_cast<unsigned __int128>(ticks) * 1'000'000'000u / hz;
    return ns > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(ns);
}

std::uint64_t page_size() {
    long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::uint64_t>(size) : 4096;
}

std::uint64_t resident_pages(const ProcessStat& stat) {
    std::int64_t pages = stat.resident >= 0 ? stat.resident : stat.rss;
    return pages > 0 ? static_cast<std::uint64_t>(pages) : 0;
}

std::uint64_t resident_bytes(const ProcessStat& stat) {
    unsigned __int128 bytes = static_cast<unsigned __int128>(resident_pages(stat)) * page_size();
    return bytes > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(bytes);
}

}  // namespace lumenstat::os::procfs
