// The state a tracker's thread shares with its handle, and the thread's loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "error.h"
#include "os/system.h"

namespace lumenstat {

class TrackerState {
public:
    TrackerState(os::System& system, std::uint32_t pid) : system_(system), pid_(pid) {}
    TrackerState(const TrackerState&) = delete;
    TrackerState& operator=(const TrackerState&) = delete;
    virtual ~TrackerState() = default;

    // Looked at before each poll only. Kept outside the state lock so that
    // stop() never waits for a delivery: a delivery runs Python code, which
    // may itself call stop() or wait for the thread that is calling it.
    std::atomic<bool> running{true};

    // One poll, without the state lock, then its delivery under it. False
    // when the sink cannot go on.
    virtual bool cycle() = 0;

    os::System& system() { return system_; }
    std::uint32_t pid() const { return pid_; }

protected:
    std::mutex lock_;  // the state lock: the known set and the sink

private:
    os::System& system_;
    const std::uint32_t pid_;
};

// Starts the detached thread that runs the loop over `state` with its own
// share of it.
Result<void> spawn_tracker_thread(std::shared_ptr<TrackerState> state);

// Makes a tracker's state from `args`, starts its thread and hands the state
// to a new handle of type `Handle`.
template <class Handle, class State, class... Args>
Result<Handle> start_tracker(Args&&... args) {
    auto state = std::make_shared<State>(std::forward<Args>(args)...);
    if (Result<void> spawned = spawn_tracker_thread(state); !spawned) {
        return std::unexpected(std::move(spawned.error()));
    }
    return Handle(std::move(state));
}

// A seed for a known set's hash, different for every tracker.
std::uint64_t random_hash_seed();

// Mixes a value into a hash (a 64-bit finaliser, so that nearby pids and
// ports spread over the buckets).
inline std::uint64_t mix_hash(std::uint64_t hash, std::uint64_t value) {
    std::uint64_t x = hash ^ (value + 0x9e3779b97f4a7c15ull + (hash << 6) + (hash >> 2));
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

}  // namespace lumenstat
