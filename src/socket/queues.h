// The receive and send buffer fill of every TCP and UDP socket of one
// process, read afresh on every call.
#pragma once

#include <cstdint>
#include <vector>

#include "error.h"
#include "os/system.h"
#include "socket/values.h"

namespace lumenstat {

// Fewer records, never an error, when the process or a descriptor cannot be
// read; at most the sockets among the first 2048 descriptors.
Result<std::vector<SocketQueueInfo>> get_process_socket_queues(os::System& system,
                                                               std::uint32_t pid);

}  // namespace lumenstat
