// statfs without waiting on a file system that does not answer.
//
// Darwin's getfsstat(MNT_NOWAIT) returns the figures the kernel holds without
// asking any file system. Linux holds none: statfs always asks, and on a
// network or FUSE mount whose server is gone it blocks for as long as the
// server stays away. So the personality asks those mounts on threads of their
// own and waits for their answers only until a common deadline; a mount that
// has not answered by then is listed with zero figures, as a mount whose
// statistics the kernel does not hold. Its thread ends when statfs finally
// returns. Until then no second thread is started for the same mount point,
// so a mount that hangs for good costs one thread, not one per listing: the
// set of calls in flight is the only thing kept between listings, and it
// holds no figures.
//
// Local file systems answer from memory and are asked directly.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/linux/storage/mount_figures.h"

namespace lumenstat::os {

using StatfsOperation = std::function<int(const char* path, MountFigures& out)>;

// True for the file system types whose statfs may wait on a server or a
// user-space daemon: network file systems, FUSE and the automounter.
bool statfs_may_wait(std::string_view fs_type);

class PatientStatfs {
public:
    explicit PatientStatfs(StatfsOperation operation);

    // The operation for each path, each on a thread of its own, waiting for
    // all of them at most `patience`. Nothing for a path that did not answer
    // in time, failed, or still has a call in flight from an earlier request
    // (or from an earlier place in `paths`).
    std::vector<std::optional<MountFigures>> ask(const std::vector<std::string>& paths,
                                                 std::chrono::milliseconds patience);

    // Calls started and not yet returned.
    std::size_t in_flight() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

// How long a listing waits for the mounts that may wait.
inline constexpr std::chrono::milliseconds kStatfsPatience{100};

}  // namespace lumenstat::os
