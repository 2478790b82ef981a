#include "os/linux/process_memo.h"

#include <fcntl.h>
#include <time.h>

#include <algorithm>
#include <utility>

namespace lumenstat::os::procfs {

namespace {

struct StatMemo {
    std::vector<ProcessStat> stats;
    std::uint64_t taken_ns = 0;
    std::uint64_t used_ns = 0;
    int cursor = 0;  // no pid below it is answered any more
    bool valid = false;
};

struct ArgsMemo {
    std::string area;
    int pid = 0;
    std::uint64_t taken_ns = 0;
    bool valid = false;
};

thread_local StatMemo stat_memo;
thread_local ArgsMemo args_memo;

bool fresh(std::uint64_t taken_ns) { return now_ns() - taken_ns <= memo_lifetime_ns; }

// A huge argument area is not worth keeping between processes.
constexpr std::size_t kept_args_capacity = 64 * 1024;

}  // namespace

std::uint64_t now_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

void forget_process_memo() {
    stat_memo.valid = false;
    stat_memo.stats.clear();
    forget_args_area();
}

void remember_stats(std::vector<ProcessStat>&& stats) {
    stat_memo.stats = std::move(stats);
    stat_memo.taken_ns = now_ns();
    stat_memo.used_ns = stat_memo.taken_ns;
    stat_memo.cursor = 0;
    stat_memo.valid = true;
}

// A listing asks about its processes in the table's order, ascending pids,
// each perhaps more than once, one right after the other. A question about a
// pid below the last one asked, or after a pause, is not part of that walk
// (CPU-usage sampling after a listing, say) and is read afresh.
const ProcessStat* remembered_stat(int pid) {
    if (!stat_memo.valid || pid < stat_memo.cursor) {
        return nullptr;
    }
    const std::uint64_t now = now_ns();
    if (now - stat_memo.taken_ns > memo_lifetime_ns || now - stat_memo.used_ns > memo_idle_ns) {
        stat_memo.valid = false;
        return nullptr;
    }
    stat_memo.used_ns = now;
    stat_memo.cursor = pid;
    auto& stats = stat_memo.stats;
    auto it = std::lower_bound(stats.begin(), stats.end(), pid,
                               [](const ProcessStat& s, int p) { return s.pid < p; });
    return it != stats.end() && it->pid == pid ? &*it : nullptr;
}

bool stat_of(int pid, ProcessStat& out) {
    if (const ProcessStat* remembered = remembered_stat(pid)) {
        out = *remembered;
        return true;
    }
    return read_process_stat(AT_FDCWD, pid, out);
}

std::vector<ProcessStat> take_stats_buffer() {
    stat_memo.valid = false;
    std::vector<ProcessStat> buffer = std::move(stat_memo.stats);
    buffer.clear();
    return buffer;
}

std::string& args_area_buffer() {
    args_memo.valid = false;
    return args_memo.area;
}

void remember_args_area(int pid) {
    args_memo.pid = pid;
    args_memo.taken_ns = now_ns();
    args_memo.valid = true;
}

const std::string* remembered_args_area(int pid) {
    if (!args_memo.valid || args_memo.pid != pid || !fresh(args_memo.taken_ns)) {
        return nullptr;
    }
    return &args_memo.area;
}

void forget_args_area() {
    args_memo.valid = false;
    if (args_memo.area.capacity() > kept_args_capacity) {
        std::string().swap(args_memo.area);
    }
}

}  // namespace lumenstat::os::procfs
