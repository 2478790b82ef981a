// The queue tracker: the socket queues of the watched process, handed on
// whole after every poll that succeeded, empty or not, changed or not.
#include <utility>
#include <vector>

#include "process/tracker.h"
#include "process/tracker_thread.h"
#include "socket/queues.h"

namespace lumenstat {
namespace {

class QueueTrackerState final : public TrackerState {
public:
    QueueTrackerState(os::System& system, std::uint32_t pid, std::unique_ptr<QueueSink> sink)
        : TrackerState(system, pid), sink_(std::move(sink)) {}

    bool cycle() override {
        Result<std::vector<SocketQueueInfo>> queues = poll();
        if (!queues) return true;
        std::lock_guard lock(lock_);
        return sink_->deliver(*queues);
    }

private:
    Result<std::vector<SocketQueueInfo>> poll() {
        os::QueryScope scope(system());
        return get_process_socket_queues(system(), pid());
    }

    std::unique_ptr<QueueSink> sink_;
};

}  // namespace

Result<ProcessQueueTracker> start_tracking_queues(os::System& system, std::uint32_t pid,
                                                  std::unique_ptr<QueueSink> sink) {
    return start_tracker<ProcessQueueTracker, QueueTrackerState>(system, pid, std::move(sink));
}

}  // namespace lumenstat
