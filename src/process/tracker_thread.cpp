// The tracker's thread and handle: a detached thread per tracker that polls,
// delivers and sleeps until stop() clears its running flag.
#include <pthread.h>
#include <unistd.h>

#include <exception>
#include <string_view>
#include <utility>

#include "cpu/duration.h"
#include "cpu/sleep.h"
#include "process/tracker.h"
#include "process/tracker_thread.h"

namespace lumenstat {
namespace {

constexpr Duration kPollInterval{0, 500'000'000};

void write_stderr(std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(2, text.data(), text.size());
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Neither noexcept nor catching everything: when the interpreter ends a thread
// that asks for its lock while it finalizes, it does so with pthread_exit, and
// that unwind must pass through here, releasing the thread's share of the
// state on its way.
void* run_tracker(void* raw) {
    std::shared_ptr<TrackerState> state;
    {
        std::unique_ptr<std::shared_ptr<TrackerState>> handover(
            static_cast<std::shared_ptr<TrackerState>*>(raw));
        state = std::move(*handover);
    }
    try {
        while (state->running.load(std::memory_order_acquire)) {
            if (!state->cycle()) break;
            sleep_for(state->system(), kPollInterval);
        }
    } catch (const std::exception& fault) {
        // In pieces: the fault is often that nothing can be allocated.
        write_stderr("lumenstat: tracker thread ended: ");
        write_stderr(fault.what());
        write_stderr("\n");
    }
    return nullptr;
}

class ThreadAttributes {
public:
    ThreadAttributes() { ::pthread_attr_init(&attributes_); }
    ~ThreadAttributes() { ::pthread_attr_destroy(&attributes_); }
    ThreadAttributes(const ThreadAttributes&) = delete;
    ThreadAttributes& operator=(const ThreadAttributes&) = delete;
    pthread_attr_t* get() { return &attributes_; }

private:
    pthread_attr_t attributes_;
};

}  // namespace

Result<void> spawn_tracker_thread(std::shared_ptr<TrackerState> state) {
    auto handover = std::make_unique<std::shared_ptr<TrackerState>>(std::move(state));
    ThreadAttributes attributes;
    int error = ::pthread_attr_setdetachstate(attributes.get(), PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    if (error == 0) {
        error = ::pthread_create(&thread, attributes.get(), run_tracker, handover.get());
    }
    if (error != 0) {
        return std::unexpected(
            QueryError::sys_call("failed to spawn thread: " + os_error_text(error)));
    }
    handover.release();  // the thread owns it now
    return {};
}

TrackerHandle::TrackerHandle(std::shared_ptr<TrackerState> state) : state_(std::move(state)) {}

TrackerHandle::TrackerHandle(TrackerHandle&& other) noexcept {
    std::lock_guard lock(other.mutex_);
    state_ = std::move(other.state_);
}

TrackerHandle::~TrackerHandle() = default;

void TrackerHandle::stop() {
    std::shared_ptr<TrackerState> taken;
    {
        std::lock_guard lock(mutex_);
        taken = std::move(state_);
        if (taken) taken->running.store(false, std::memory_order_release);
    }
    // Released after the handle lock: when this is the last share, the sink
    // goes with it, and letting go of a callback may run code that calls
    // stop() on this very handle.
}

}  // namespace lumenstat
