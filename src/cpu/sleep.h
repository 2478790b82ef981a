// Sleeping the calling thread for a whole span through the os interface.
#pragma once

#include "cpu/duration.h"
#include "os/system.h"

namespace lumenstat {

// Sleeps for the full span: resumes with the remaining time after EINTR and
// sleeps spans beyond the largest signed second count in pieces. A zero span
// makes no call. Any other failure of nanosleep ends the sleep early.
void sleep_for(os::System& system, Duration span);

}  // namespace lumenstat
