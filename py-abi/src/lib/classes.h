// The module's 18 classes, in the order the module adds them.
#pragma once

#include <array>

#include "record_class.h"

namespace lumenstat::py::classes {

extern const ClassSpec SystemSummary;
extern const ClassSpec MemoryInfo;
extern const ClassSpec CpuInfo;
extern const ClassSpec DiskInfo;
extern const ClassSpec SocketStateSummary;
extern const ClassSpec SocketConnection;
extern const ClassSpec ProcessInfo;
extern const ClassSpec DirEntry;
extern const ClassSpec ChildProcessEvent;
extern const ClassSpec ProcessTracker;
extern const ClassSpec CpuTimes;
extern const ClassSpec DiskIoStats;
extern const ClassSpec ProcessIoInfo;
extern const ClassSpec SocketStats;
extern const ClassSpec SocketQueueInfo;
extern const ClassSpec SocketConnectionEvent;
extern const ClassSpec ProcessSocketTracker;
extern const ClassSpec ProcessQueueTracker;

// Registration order of the module.
const std::array<const ClassSpec*, 18>& all();

}  // namespace lumenstat::py::classes
