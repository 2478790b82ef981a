#include "os/linux/process/process_memo.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "os/linux/proc_files.h"
#include "os/linux/query_scope.h"

namespace lumenstat::os::procfs {

namespace {

ProcessMemo* memo() {
    linux_scope::Scope* scope = linux_scope::current();
    return scope != nullptr ? &scope->processes : nullptr;
}

}  // namespace

bool keeping() { return memo() != nullptr; }

bool arguments_with_table() {
    ProcessMemo* kept = memo();
    return kept != nullptr && kept->arguments_with_table;
}

std::vector<int>& table_pids_buffer() {
    if (ProcessMemo* kept = memo()) {
        kept->table_pids_kept = false;
        kept->table_pids.clear();
        return kept->table_pids;
    }
    thread_local std::vector<int> scratch;
    scratch.clear();
    return scratch;
}

void remember_table_pids() {
    if (ProcessMemo* kept = memo()) {
        kept->table_pids_kept = true;
    }
}

const std::vector<int>* remembered_table_pids() {
    ProcessMemo* kept = memo();
    return kept != nullptr && kept->table_pids_kept ? &kept->table_pids : nullptr;
}

void remember_stats(std::vector<ProcessStat>&& stats, std::vector<ArgsReading>&& args) {
    if (ProcessMemo* kept = memo()) {
        kept->stats = std::move(stats);
        kept->table_args = std::move(args);
        kept->table_args_taken.assign(kept->table_args.size(), false);
    }
}

const ProcessStat* remembered_stat(int pid) {
    ProcessMemo* kept = memo();
    if (kept == nullptr) {
        return nullptr;
    }
    auto it = std::lower_bound(kept->stats.begin(), kept->stats.end(), pid,
                               [](const ProcessStat& s, int p) { return s.pid < p; });
    return it != kept->stats.end() && it->pid == pid ? &*it : nullptr;
}

ArgsReading* take_table_args(const ProcessStat& remembered) {
    ProcessMemo* kept = memo();
    if (kept == nullptr || kept->table_args.size() != kept->stats.size()) {
        return nullptr;
    }
    const auto index = static_cast<std::size_t>(&remembered - kept->stats.data());
    if (kept->table_args_taken[index]) {
        return nullptr;
    }
    kept->table_args_taken[index] = true;
    return &kept->table_args[index];
}

bool stat_of(int pid, ProcessStat& out) {
    if (const ProcessStat* remembered = remembered_stat(pid)) {
        out = *remembered;
        return true;
    }
    return read_process_stat(AT_FDCWD, pid, out);
}

std::string& args_area_buffer() {
    if (ProcessMemo* kept = memo()) {
        kept->args_kept = false;
        return kept->args_area;
    }
    // A huge argument area is not worth keeping between processes.
    thread_local std::string scratch;
    if (scratch.capacity() > 64 * 1024) {
        std::string().swap(scratch);
    }
    return scratch;
}

void remember_args_area(int pid) {
    if (ProcessMemo* kept = memo()) {
        kept->args_pid = pid;
        kept->args_kept = true;
    }
}

const std::string* remembered_args_area(int pid) {
    ProcessMemo* kept = memo();
    return kept != nullptr && kept->args_kept && kept->args_pid == pid ? &kept->args_area : nullptr;
}

void forget_args_area() {
    if (ProcessMemo* kept = memo()) {
        kept->args_kept = false;
    }
}

void remember_inspection_refusal(int pid, bool refused) {
    if (ProcessMemo* kept = memo()) {
        kept->inspected_pid = pid;
        kept->inspection_refused = refused;
    }
}

std::optional<bool> remembered_inspection_refusal(int pid) {
    ProcessMemo* kept = memo();
    if (kept == nullptr || kept->inspected_pid != pid || pid == 0) {
        return std::nullopt;
    }
    return kept->inspection_refused;
}

bool boot_time_seconds(std::uint64_t& seconds) {
    ProcessMemo* kept = memo();
    if (kept != nullptr && kept->boot_seconds) {
        seconds = *kept->boot_seconds;
        return true;
    }
    std::string text;
    if (!read_file("/proc/stat", text, 0, ShortRead::ends_file)) {
        return false;
    }
    if (!keyed_u64(text, "btime ", seconds)) {
        errno = EIO;
        return false;
    }
    if (kept != nullptr) {
        kept->boot_seconds = seconds;
    }
    return true;
}

}  // namespace lumenstat::os::procfs
