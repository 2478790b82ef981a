// What the query scope open on the calling thread keeps of its /proc
// readings, so that a process listing reads each process's files once: the
// table fetch keeps every process's stat line for the task-info and usage
// calls that follow it, and, in a scope opened to ask every listed process's
// arguments, each process's argument area read beside its stat line (both
// read ahead as read_ahead.h says); an argument-area size probe keeps the
// area it built for the fetch that follows it. Each function acts on the
// scope open on this thread; with none open, nothing is kept and every call
// reads the kernel afresh.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "os/linux/process/process_stat.h"

namespace lumenstat::os::procfs {

// One reading of a process's argument area: the area as KERN_PROCARGS2 lays
// it out, or the errno of a failed building; and whether the caller was
// refused the right to inspect the process (true), granted it (false) or
// neither is known (nothing).
struct ArgsReading {
    std::string area;
    int error = 0;
    std::optional<bool> inspection_refused;
};

// Reads the area of `pid` into `reading` as it is now: the path exec was
// given and the arguments from the process's memory at the addresses of
// `stat`, its stat line, as stack_strings.h says; whatever cannot be read
// there from /proc, the exe link's path standing in for the path exec was
// given. A process without arguments (a kernel thread, a zombie) or without
// a /proc entry fails with EINVAL, as Darwin fails for processes whose
// arguments it cannot give.
void read_args_area(int pid, const ProcessStat& stat, ArgsReading& reading);

// The readings of one query scope.
struct ProcessMemo {
    // Asked when the scope opened: the table fetch reads each process's
    // argument area with its stat line.
    bool arguments_with_table = false;
    std::vector<int> table_pids;  // from the last table size probe
    bool table_pids_kept = false;
    std::vector<ProcessStat> stats;  // sorted by pid
    // The argument areas the last table fetch read, one per entry of
    // `stats` (none when it read none), and which of them were taken.
    std::vector<ArgsReading> table_args;
    std::vector<bool> table_args_taken;
    std::string args_area;
    int args_pid = 0;
    bool args_kept = false;
    // Whether inspecting `inspected_pid` was refused when its argument area
    // was built; 0 when that told nothing.
    int inspected_pid = 0;
    bool inspection_refused = false;
    std::optional<std::uint64_t> boot_seconds;
};

// Whether a scope is open on this thread, to keep readings in.
bool keeping();
// Whether the scope open on this thread was opened to ask the argument area
// of every process the table lists.
bool arguments_with_table();

// The processes a table size probe found in /proc, kept for the fetches that
// follow it in this scope: `table_pids_buffer` returns storage to list them
// in (the scope's, or a scratch vector with no scope open), and
// `remember_table_pids` keeps what was listed there; `remembered_table_pids`
// returns it, or nullptr.
std::vector<int>& table_pids_buffer();
void remember_table_pids();
const std::vector<int>* remembered_table_pids();

// Keeps the stat lines of a table fetch, `stats` sorted by pid, and the
// argument areas read with them: none, or one per stat line, in its order.
void remember_stats(std::vector<ProcessStat>&& stats, std::vector<ArgsReading>&& args);
// The stat line of `pid` kept by this scope, or nullptr.
const ProcessStat* remembered_stat(int pid);
// The argument area this scope's table fetch read beside `remembered` (a
// stat line remembered_stat returned), taken: it answers one call; null when
// there is none to take and the caller is to read it now.
ArgsReading* take_table_args(const ProcessStat& remembered);
// The stat line of `pid`: kept by this scope, else read now. False with
// errno set as read_process_stat sets it.
bool stat_of(int pid, ProcessStat& out);

// The argument area kept by the last size probe of this scope.
// `args_area_buffer` drops it and returns storage to build a new one in
// (the scope's, or a scratch string with no scope open); `remember_args_area`
// keeps what was built for `pid`; `remembered_args_area` returns it when it
// was built for `pid`, else nullptr; `forget_args_area` drops it once the
// fetch has used it.
std::string& args_area_buffer();
void remember_args_area(int pid);
const std::string* remembered_args_area(int pid);
void forget_args_area();

// Keeps whether building the argument area of `pid` found the caller refused
// the right to inspect it (true) or granted it (false);
// `remembered_inspection_refusal` returns it for the same pid, else nothing.
// The stat line's addresses, the exe link and /proc/PID/io are all guarded by
// that one check.
void remember_inspection_refusal(int pid, bool refused);
std::optional<bool> remembered_inspection_refusal(int pid);

// The boot time in seconds since the epoch, as the "btime" line of /proc/stat
// gives it: read once per scope, /proc/stat being large to generate. False
// with errno set when it cannot be read.
bool boot_time_seconds(std::uint64_t& seconds);

}  // namespace lumenstat::os::procfs
