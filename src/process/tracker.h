// Trackers: background watches of one process that hand what they find to an
// event sink, from a detached thread that polls every 500 milliseconds until
// stop(). The child tracker reports each new descendant, the socket tracker
// each new socket key of the process, the queue tracker the process's socket
// queues on every poll.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "error.h"
#include "os/system.h"
#include "socket/enumeration.h"
#include "socket/values.h"

namespace lumenstat {

// A descendant the child tracker found; `ppid` is the process whose children
// were being listed when it was found.
struct ChildProcessEvent {
    std::uint32_t pid = 0;
    std::uint32_t ppid = 0;
    std::string name;
    std::vector<std::string> cmdline;
    std::string exe_path;
    std::uint64_t start_time = 0;  // seconds since the Unix epoch

    friend bool operator==(const ChildProcessEvent&, const ChildProcessEvent&) = default;
};

// Where a tracker's reports go, one call per report, in order, on the
// tracker's thread. Destroyed by whichever holder of the tracker lets go last,
// which may be the tracker's thread.
template <class Report>
class EventSink {
public:
    virtual ~EventSink() = default;
    // False when the sink cannot go on: the tracker then ends.
    virtual bool deliver(const Report& report) = 0;
};

using ChildSink = EventSink<ChildProcessEvent>;
using SocketSink = EventSink<SocketConnectionEvent>;
using QueueSink = EventSink<std::vector<SocketQueueInfo>>;

class TrackerState;

// What a tracker object holds: its share of the tracker state until the first
// stop(). Destroying a handle without stop() leaves the tracker running.
class TrackerHandle {
public:
    explicit TrackerHandle(std::shared_ptr<TrackerState> state);
    TrackerHandle(TrackerHandle&& other) noexcept;
    TrackerHandle& operator=(TrackerHandle&&) = delete;
    ~TrackerHandle();

    // Ends the watch: no poll starts after this returns; the poll under way,
    // if any, is still delivered. Never waits for the tracker's thread, so it
    // may be called from inside a delivery, also on the tracker's own thread.
    void stop();

private:
    std::mutex mutex_;  // the handle lock
    std::shared_ptr<TrackerState> state_;
};

struct ProcessTracker : TrackerHandle {
    using TrackerHandle::TrackerHandle;
};
struct ProcessSocketTracker : TrackerHandle {
    using TrackerHandle::TrackerHandle;
};
struct ProcessQueueTracker : TrackerHandle {
    using TrackerHandle::TrackerHandle;
};

// Each starts the tracker's thread, whose first poll runs at once. The only
// failure is a thread that cannot be created: SysCall("failed to spawn
// thread: ...").
Result<ProcessTracker> start_tracking_children(os::System& system, std::uint32_t pid,
                                               std::unique_ptr<ChildSink> sink);
Result<ProcessSocketTracker> start_tracking_sockets(os::System& system, std::uint32_t pid,
                                                    std::unique_ptr<SocketSink> sink,
                                                    SocketCache& cache = socket_cache());
Result<ProcessQueueTracker> start_tracking_queues(os::System& system, std::uint32_t pid,
                                                  std::unique_ptr<QueueSink> sink);

}  // namespace lumenstat
