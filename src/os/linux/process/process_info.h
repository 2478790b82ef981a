// The proc_pidinfo flavors about one process's task, filled from /proc.
// Each returns the bytes written, or 0 with errno set, as libproc does.
#pragma once

namespace lumenstat::os::procfs {

// PROC_PIDTASKINFO: a proc_taskinfo.
int pid_task_info(int pid, void* buffer, int buffersize);
// PROC_PIDTASKALLINFO: a proc_taskallinfo (BSD part and task part).
int pid_task_all_info(int pid, void* buffer, int buffersize);

}  // namespace lumenstat::os::procfs
