// The child tracker: a depth-first walk below the watched process over one
// process-table read per poll, reporting each descendant once.
#include <algorithm>
#include <unordered_set>
#include <utility>
#include <vector>

#include "process/known_set_hash.h"
#include "process/process_table.h"
#include "process/tracker.h"
#include "process/tracker_thread.h"

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
    // the last one found, and so on. Only the descendants not reported yet
    // have their arguments read. A failed table read reports nothing in this
    // poll.
    std::vector<ChildProcessEvent> poll() {
        os::QueryScope scope(system());
        Result<ProcessEntries> table = ProcessEntries::read(system());
        if (!table) return {};
        std::vector<std::size_t> found = descendants(*table);
        {
            std::lock_guard lock(lock_);
            std::erase_if(found, [&](std::size_t i) { return known_.contains(table->pid(i)); });
        }
        std::vector<ChildProcessEvent> findings;
        findings.reserve(found.size());
        for (std::size_t i : found) {
            ProcessInfo process = table->describe(system(), i);
            findings.push_back({process.pid, process.ppid, std::move(process.name),
                                std::move(process.cmdline), std::move(process.exe_path),
                                process.start_time});
        }
        return findings;
    }

    using Link = std::pair<std::uint32_t, std::size_t>;  // parent pid, table index

    // The table indices of the descendants in walk order.
    std::vector<std::size_t> descendants(const ProcessEntries& table) const {
        // (parent, index) sorted: each parent's children are one run, in table order.
        std::vector<Link> by_parent;
        by_parent.reserve(table.size());
        for (std::size_t i = 0; i < table.size(); ++i) {
            if (table.pid(i) != pid()) by_parent.emplace_back(table.ppid(i), i);
        }
        std::sort(by_parent.begin(), by_parent.end());
        std::vector<std::size_t> found;
        std::vector<std::uint32_t> stack{pid()};
        std::unordered_set<std::uint32_t> visited;
        while (!stack.empty()) {
            std::uint32_t parent = stack.back();
            stack.pop_back();
            if (!visited.insert(parent).second) continue;
            for (const Link& child :
                 std::ranges::equal_range(by_parent, parent, std::ranges::less{}, &Link::first)) {
                stack.push_back(table.pid(child.second));
                found.push_back(child.second);
            }
        }
        return found;
    }

    std::unordered_set<std::uint32_t, SeededPidHash> known_;
    std::unique_ptr<ChildSink> sink_;
};

}  // namespace

Result<ProcessTracker> start_tracking_children(os::System& system, std::uint32_t pid,
                                               std::unique_ptr<ChildSink> sink) {
    return start_tracker<ProcessTracker, ChildTrackerState>(system, pid, std::move(sink));
}

}  // namespace lumenstat
