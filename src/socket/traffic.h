// The TCP sockets of one process with the bytes sent and received on each,
// counted by the system's traffic tool ("nettop"), run once per call.
#pragma once

#include <cstdint>
#include <vector>

#include "error.h"
#include "os/system.h"
#include "socket/values.h"

namespace lumenstat {

// Never an error: a process that cannot be read gives no records, a tool that
// cannot be run or fails leaves every count 0. What went wrong is written as
// a "[SocketStats] " line to file descriptor 2 (see traffic.cpp). The calling
// thread waits for the tool without a time limit.
Result<std::vector<SocketStats>> get_process_socket_stats(os::System& system, std::uint32_t pid);

}  // namespace lumenstat
