// Terminating one process with SIGKILL.
#pragma once

#include <cstdint>

#include "error.h"
#include "os/system.h"

namespace lumenstat {

// Only pids 1..2147483647 name a single process; 0 and larger values would
// signal a process group or every process, so they are refused as
// ProcessNotFound without sending anything.
Result<void> kill_process(os::System& system, std::uint32_t pid);

}  // namespace lumenstat
