// The single-criterion socket lookups over one listing of every socket.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "error.h"
#include "os/system.h"
#include "socket/enumeration.h"
#include "socket/values.h"

namespace lumenstat {

using FoundConnection = Result<std::optional<SocketConnection>>;

// The first record of the listing whose pid is present and equal to `pid`.
FoundConnection connection_by_pid(os::System& system, std::uint32_t pid,
                                  SocketCache& cache = socket_cache());
FoundConnection connection_by_inode(os::System& system, std::uint64_t inode,
                                    SocketCache& cache = socket_cache());
// Records without a remote address never match a remote address.
FoundConnection connection_by_local_addr(os::System& system, const SocketAddress& address,
                                         SocketCache& cache = socket_cache());
FoundConnection connection_by_remote_addr(os::System& system, const SocketAddress& address,
                                          SocketCache& cache = socket_cache());
// The whole group of `state`, in group order; empty when there is none.
Result<std::vector<SocketConnection>> connections_by_state(os::System& system, SocketState state,
                                                           SocketCache& cache = socket_cache());

}  // namespace lumenstat
