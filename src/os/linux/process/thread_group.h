// Darwin's pids are Linux's thread-group ids. /proc answers for any thread
// id, so each per-process call that does not read the stat line anyway asks
// the kernel whether the id leads a thread group.
#pragma once

namespace lumenstat::os::procfs {

// False when no thread group has the id `pid`: no task has it, or it names
// a thread other than its group's leader. A process of another user counts.
bool is_thread_group(int pid);

}  // namespace lumenstat::os::procfs
