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
// cannot be run or fails leaves every count 0. Three failures write a line to
// file descriptor 2: "[SocketStats] pidinfo failed for PID 312: return code =
// 0, errno = 3, message = 'No such process'", the same with "listpidinfo" for
// the descriptor list, and "[SocketStats] nettop failed: No such file or
// directory (os error 2)". The tool is not run for a process without TCP
// sockets; the calling thread waits for it without a time limit.
Result<std::vector<SocketStats>> get_process_socket_stats(os::System& system, std::uint32_t pid);

}  // namespace lumenstat
