// Query scopes of the Linux personality. Each thread has a stack of them;
// only the innermost one open on the thread keeps readings, and everything it
// holds (stat lines, argument areas, CPU identity, socket tables, descriptor
// listings, the threads reading ahead (read_ahead.h), the mount table) ends
// when it closes.
#pragma once

#include <optional>
#include <vector>

#include "os/linux/cpu/cpu_identity.h"
#include "os/linux/storage/mountinfo.h"
#include "os/linux/process/process_memo.h"
#include "os/linux/socket/socket_walk.h"

namespace lumenstat::os::linux_scope {

struct Scope {
    procfs::ProcessMemo processes;
    std::optional<linux_cpu::CpuIdentity> cpu;
    linux_sockets::SocketWalk sockets;
    // Shared by getfsstat's counting call and the call that fills the buffer.
    std::optional<std::vector<mountinfo::Mount>> mounts;
};

// The scope open on this thread, or null when none is (or when the innermost
// one could not be made: it then keeps nothing).
Scope* current();

}  // namespace lumenstat::os::linux_scope
