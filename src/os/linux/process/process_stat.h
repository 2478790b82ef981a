// One process's line of /proc/PID/stat, the fields the Darwin personality
// needs from it, and the conversions of its clock-tick counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace lumenstat::os::procfs {

struct ProcessStat {
    int pid = 0;
    char comm[17] = {};  // at most 16 bytes, NUL-terminated
    char state = 0;
    int ppid = 0;
    int pgrp = 0;
    int tty_nr = 0;
    int tpgid = 0;
    std::uint64_t minflt = 0;
    std::uint64_t majflt = 0;
    std::uint64_t utime = 0;   // clock ticks
    std::uint64_t stime = 0;   // clock ticks
    std::uint64_t cutime = 0;  // clock ticks of waited-for children
    std::uint64_t cstime = 0;
    std::int64_t priority = 0;
    std::int64_t nice = 0;
    std::int64_t num_threads = 0;
    std::uint64_t starttime = 0;  // clock ticks after boot
    std::uint64_t vsize = 0;      // bytes
    std::int64_t rss = 0;         // pages, as the stat line gives it
    // Pages from /proc/PID/statm, -1 when unread. The stat line's count is a
    // cheaper, approximate sum of the kernel's per-CPU counters; statm's is
    // the exact one that `ps` shows.
    std::int64_t resident = -1;
    // -1 for a thread that does not lead its thread group: not a process on
    // Darwin. The kernel itself tells a leader by exit_signal >= 0.
    int exit_signal = 0;
    // Where exec laid out the process's stack: argc at start_stack, the
    // argument strings, then the environment's. The kernel shows them only
    // to a caller that may inspect the process, and 0 otherwise.
    std::uint64_t start_stack = 0;
    std::uint64_t arg_start = 0;
    std::uint64_t arg_end = 0;
    std::uint64_t env_end = 0;
};

// Parses the text of /proc/PID/stat. The command name may hold any byte,
// spaces and parentheses included, so the fields after it are found from the
// last ')'. Fields past the resident count are optional.
bool parse_process_stat(std::string_view text, ProcessStat& out);

// Reads and parses /proc/<pid>/stat, and the resident size of its statm
// (relative to `proc_dirfd`, an open /proc, or AT_FDCWD). False with errno
// set as process_errno says: ESRCH when the process is gone, EPERM when the
// caller may not read it, EIO for a line that is not one, and the caller's
// own shortage (EMFILE, ...) as it is, also when statm cannot be opened for it.
bool read_process_stat(int proc_dirfd, int pid, ProcessStat& out);

// The stat line alone, leaving `resident` unread (-1), for a caller that
// takes the exact resident size from another file it reads anyway.
bool read_stat_line(int proc_dirfd, int pid, ProcessStat& out);

// Whether the stat line is a process's (a thread group's leader) rather than
// one of its other threads'.
inline bool leads_thread_group(const ProcessStat& stat) { return stat.exit_signal >= 0; }

// Darwin's p_stat for a Linux state letter; 0 for a letter Darwin has no
// state for.
char darwin_process_state(char linux_state);

long clock_ticks_per_second();
std::uint64_t ticks_to_ns(std::uint64_t ticks);
std::uint64_t page_size();

// Resident set size in pages and in bytes: what `ps -o rss` shows.
std::uint64_t resident_pages(const ProcessStat& stat);
std::uint64_t resident_bytes(const ProcessStat& stat);

}  // namespace lumenstat::os::procfs
