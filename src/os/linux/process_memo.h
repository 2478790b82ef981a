// What the query scope open on the calling thread keeps of its /proc
// readings, so that a process listing reads each process's files once: the
// table fetch keeps every process's stat line for the task-info and usage
// calls that follow it, the first argument area asked for after its size
// probe starts reading the areas of the processes it listed ahead
// (read_ahead.h), and an argument-area size probe keeps the area it built for
// the fetch that follows it. Each function acts on the
// scope open on this thread; with none open, nothing is kept and every call
// reads the kernel afresh.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/linux/process_stat.h"
#include "os/linux/read_ahead.h"

namespace lumenstat::os::procfs {

// One reading of a process's argument area: the area as KERN_PROCARGS2 lays
// it out, or the errno of a failed building; and whether the exe link was
// refused (true), answered (false) or neither (nothing).
struct ArgsReading {
    std::string area;
    int error = 0;
    std::optional<bool> exe_refused;
};
using ArgsReadAhead = linux_ahead::ReadAhead<ArgsReading>;

// The readings of one query scope.
struct ProcessMemo {
    std::vector<int> table_pids;  // from the last table size probe
    bool table_pids_kept = false;
    std::vector<ProcessStat> stats;  // sorted by pid
    std::string args_area;
    int args_pid = 0;
    bool args_kept = false;
    // Whether the exe link of `exe_pid` was refused when its argument area
    // was built; 0 when no link was read.
    int exe_pid = 0;
    bool exe_refused = false;
    std::optional<std::uint64_t> boot_seconds;
    // Begun at most once per table listing; a listing whose processes are
    // not asked about (a process tree) reads no area ahead.
    bool args_ahead_begun = false;
    std::unique_ptr<ArgsReadAhead> args_ahead;
};

// Whether a scope is open on this thread, to keep readings in.
bool keeping();

// The processes a table size probe found in /proc, kept for the fetches that
// follow it in this scope: `table_pids_buffer` returns storage to list them
// in (the scope's, or a scratch vector with no scope open), and
// `remember_table_pids` keeps what was listed there; `remembered_table_pids`
// returns it, or nullptr.
std::vector<int>& table_pids_buffer();
void remember_table_pids();
const std::vector<int>* remembered_table_pids();

// The argument area of `pid` read ahead with `reader`, taken; null when
// there is none and the caller is to read it now. The first call after a
// table size probe of this scope starts reading the areas of the processes
// the probe listed, from the last one back to the one asked for.
ArgsReading* args_read_ahead(int pid, ArgsReadAhead::Reader reader);

// Keeps the stat lines of a table fetch; `stats` sorted by pid.
void remember_stats(std::vector<ProcessStat>&& stats);
// The stat line of `pid` kept by this scope, or nullptr.
const ProcessStat* remembered_stat(int pid);
// The stat line of `pid`: kept by this scope, else read now. False with
// errno ESRCH when the process does not exist.
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

// Keeps whether reading the exe link of `pid` was refused (true) or answered
// (false); `remembered_exe_refusal` returns it for the same pid, else nothing.
// The link and /proc/PID/io are refused by the same check of the caller's
// right to inspect the process.
void remember_exe_refusal(int pid, bool refused);
std::optional<bool> remembered_exe_refusal(int pid);

// The boot time in seconds since the epoch, as the "btime" line of /proc/stat
// gives it: read once per scope, /proc/stat being large to generate. False
// when it cannot be read.
bool boot_time_seconds(std::uint64_t& seconds);

}  // namespace lumenstat::os::procfs
