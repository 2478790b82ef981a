// The state a tracker's thread shares with its handle.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

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

}  // namespace lumenstat
