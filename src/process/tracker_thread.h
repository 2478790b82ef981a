// Starting a tracker: its state, shared between a detached thread that runs
// the loop and the handle that the caller keeps.
#pragma once

#include <memory>
#include <utility>

#include "error.h"
#include "process/tracker_state.h"

namespace lumenstat {

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

}  // namespace lumenstat
