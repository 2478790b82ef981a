// The child tracker: a depth-first walk below the watched process, one
// process-table read per visited process, reporting each descendant once.
#include <unordered_set>
#include <utility>
#include <vector>

#include "process/process_table.h"
#include "process/tracker.h"
#include "process/tracker_state.h"

namespace lumenstat {
namespace {

struct SeededPidHash {
    std::uint64_t seed;
    std::size_t operator()(std::uint32_t pid) const { return mix_hash(seed, pid); }
};

class ChildTrackerState final : public TrackerState {
public:
    ChildTrackerState(os::System& system, std::uint32_t pid, std::unique_ptr<ChildSink> sink)
        : TrackerState(system, pid),
          known_(0, SeededPidHash{random_hash_seed()}),
          sink_(std::move(sink)) {}

    bool cycle() override {
        std::vector<ChildProcessEvent> findings = poll();
        std::lock_guard lock(lock_);
        for (const ChildProcessEvent& finding : findings) {
            if (!known_.insert(finding.pid).second) continue;
            if (!sink_->deliver(finding)) return false;
        }
        return true;
    }

private:
    // Children of the watched process in table order, then the subtree of
    // the last one found, and so on. A failed table read leaves that
    // process's children unexamined in this poll.
    std::vector<ChildProcessEvent> poll() {
        os::QueryScope scope(system());
        std::vector<ChildProcessEvent> findings;
        std::vector<std::uint32_t> stack{pid()};
        std::unordered_set<std::uint32_t> visited;
        while (!stack.empty()) {
            std::uint32_t parent = stack.back();
            stack.pop_back();
            if (!visited.insert(parent).second) continue;
            Result<std::vector<ProcessInfo>> table = get_processes(system());
            if (!table) continue;
            for (ProcessInfo& process : *table) {
                if (process.ppid != parent || process.pid == pid()) continue;
                stack.push_back(process.pid);
                findings.push_back({process.pid, parent, std::move(process.name),
                                    std::move(process.cmdline), std::move(process.exe_path),
                                    process.start_time});
            }
        }
        return findings;
    }

    std::unordered_set<std::uint32_t, SeededPidHash> known_;
    std::unique_ptr<ChildSink> sink_;
};

}  // namespace

Result<ProcessTracker> start_tracking_children(os::System& system, std::uint32_t pid,
                                               std::unique_ptr<ChildSink> sink) {
    auto state = std::make_shared<ChildTrackerState>(system, pid, std::move(sink));
    if (Result<void> spawned = spawn_tracker_thread(state); !spawned) {
        return std::unexpected(std::move(spawned.error()));
    }
    return ProcessTracker(std::move(state));
}

}  // namespace lumenstat
