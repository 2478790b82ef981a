// Short-lived, per-thread memories of /proc readings, so that a process
// listing reads each process's files once: the table fetch remembers every
// process's stat line for the task-info and usage calls that follow it, and
// an argument-area size probe keeps the area it built for the fetch that
// follows it. A memory answers only on its own thread, for at most
// `memo_lifetime_ns`, and never after forget_process_memo(). The stat lines
// also stop answering once the listing's walk over them pauses for more than
// `memo_idle_ns`, so that a question asked after the walk gets a reading at
// most two of Linux's 10 ms CPU-time ticks old; the lifetime only bounds the
// walk over a very large table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/linux/process_stat.h"

namespace lumenstat::os::procfs {

inline constexpr std::uint64_t memo_lifetime_ns = 1'000'000'000;
inline constexpr std::uint64_t memo_idle_ns = 20'000'000;

// Drops every memory of this thread, so that the next call reads the kernel
// afresh. LinuxSystem::nanosleep calls it: a reading taken before a sleep
// must never answer a question asked after it (CPU-usage sampling).
void forget_process_memo();

// Replaces the remembered stat lines of this thread; `stats` sorted by pid.
void remember_stats(std::vector<ProcessStat>&& stats);
// The remembered stat line of `pid`, or nullptr. Pids are answered in
// ascending order only: asking about one retires those below it.
const ProcessStat* remembered_stat(int pid);
// The stat line of `pid`: remembered when fresh, else read now. False with
// errno ESRCH when the process does not exist.
bool stat_of(int pid, ProcessStat& out);
// A buffer to fill for remember_stats, reusing the memory's storage.
std::vector<ProcessStat> take_stats_buffer();

// The argument area kept by the last size probe of this thread.
// `args_area_buffer` drops it and returns its storage to build a new one in;
// `remember_args_area` keeps what was built for `pid`; `remembered_args_area`
// returns it while it is fresh and was built for `pid`, else nullptr;
// `forget_args_area` drops it once the fetch has used it.
std::string& args_area_buffer();
void remember_args_area(int pid);
const std::string* remembered_args_area(int pid);
void forget_args_area();

std::uint64_t now_ns();

}  // namespace lumenstat::os::procfs
