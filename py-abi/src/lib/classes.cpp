#include "classes.h"

#include "functions.h"
#include "process/tracker.h"
#include "summary.h"

namespace lumenstat::py::classes {
namespace {

using K = AttributeKind;

constexpr Attribute memory_info[] = {
    {"total", K::U64}, {"available", K::U64}, {"used", K::U64},
    {"free", K::U64},  {"usage_percent", K::Float},
};
constexpr Attribute cpu_info[] = {
    {"physical_cores", K::U32}, {"logical_cores", K::U32}, {"model_name", K::Text},
    {"vendor", K::Text},        {"frequency_mhz", K::U64},
};
constexpr Attribute cpu_times[] = {
    {"user", K::U64}, {"system", K::U64}, {"idle", K::U64}, {"nice", K::U64}, {"iowait", K::U64},
};
constexpr Attribute disk_info[] = {
    {"device", K::Text},     {"mount_point", K::Text},     {"fs_type", K::Text},
    {"total_bytes", K::U64}, {"used_bytes", K::U64},       {"available_bytes", K::U64},
    {"usage_percent", K::Float},
};
constexpr Attribute disk_io_stats[] = {
    {"device", K::Text},        {"reads", K::U64},         {"writes", K::U64},
    {"bytes_read", K::U64},     {"bytes_written", K::U64}, {"read_time_ms", K::U64},
    {"write_time_ms", K::U64},
};
constexpr Attribute dir_entry[] = {
    {"name", K::Text}, {"path", K::Text}, {"is_dir", K::Bool}, {"size", K::U64},
};
constexpr Attribute process_info[] = {
    {"pid", K::U32},    {"name", K::Text},         {"command", K::Text},
    {"status", K::Text}, {"memory_usage", K::U64},
};
constexpr Attribute process_io_info[] = {
    {"pid", K::U32},        {"read_bytes", K::U64}, {"write_bytes", K::U64}, {"read_chars", K::U64},
    {"write_chars", K::U64}, {"read_ops", K::U64},  {"write_ops", K::U64},
};
constexpr Attribute socket_connection[] = {
    {"protocol", K::Text}, {"local_addr", K::Text}, {"remote_addr", K::Text},
    {"state", K::Text},    {"pid", K::U32},         {"inode", K::U64},
};
constexpr Attribute socket_state_summary[] = {
    {"total", K::U64},     {"established", K::U64}, {"listen", K::U64},
    {"time_wait", K::U64}, {"close_wait", K::U64},
};
constexpr Attribute socket_queue_info[] = {
    {"pid", K::U32},
    {"fd", K::U32},
    {"protocol", K::Text},
    {"local_addr", K::Text},
    {"remote_addr", K::Text},
    {"state", K::Text},
    {"recv_queue_bytes", K::U32},
    {"recv_queue_hiwat", K::U32},
    {"send_queue_bytes", K::U32},
    {"send_queue_hiwat", K::U32},
};
constexpr Attribute socket_stats[] = {
    {"pid", K::U32},         {"fd", K::U32},         {"protocol", K::Text},
    {"local_addr", K::Text}, {"remote_addr", K::Text}, {"bytes_sent", K::U64},
    {"bytes_received", K::U64},
};
constexpr Attribute child_process_event[] = {
    {"pid", K::U32},          {"ppid", K::U32},       {"name", K::Text},
    {"cmdline", K::TextList}, {"exe_path", K::Text}, {"start_time", K::U64},
};

PyMethodDef tracker_methods[] = {
    {"stop", tracker_stop, METH_NOARGS, "stop($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};
// A tracker object holds its handle; the three handle types are one layout.
constexpr ClassExtras tracker_extras{.methods = tracker_methods,
                                     .native_size = sizeof(TrackerHandle)};

}  // namespace

const ClassSpec SystemSummary{"PySystemSummary",
                              {},
                              {.doc = "PySystemSummary(sample_duration)\n--\n\n",
                               .tp_new = summary::new_summary,
                               .methods = summary::methods,
                               .native_size = sizeof(summary::Stored),
                               .native_getters = summary::getters}};
const ClassSpec MemoryInfo{"PyMemoryInfo", memory_info};
const ClassSpec CpuInfo{"PyCpuInfo", cpu_info};
const ClassSpec DiskInfo{"PyDiskInfo", disk_info};
const ClassSpec SocketStateSummary{"PySocketStateSummary", socket_state_summary};
const ClassSpec SocketConnection{"PySocketConnection", socket_connection};
const ClassSpec ProcessInfo{"PyProcessInfo", process_info};
const ClassSpec DirEntry{"PyDirEntry", dir_entry};
const ClassSpec ChildProcessEvent{"PyChildProcessEvent", child_process_event};
const ClassSpec ProcessTracker{"PyProcessTracker", {}, tracker_extras};
const ClassSpec CpuTimes{"PyCpuTimes", cpu_times};
const ClassSpec DiskIoStats{"PyDiskIoStats", disk_io_stats};
const ClassSpec ProcessIoInfo{"PyProcessIoInfo", process_io_info};
const ClassSpec SocketStats{"PySocketStats", socket_stats};
const ClassSpec SocketQueueInfo{"PySocketQueueInfo", socket_queue_info};
// Same attributes as a connection: the socket tracker reports the same six fields.
const ClassSpec SocketConnectionEvent{"PySocketConnectionEvent", socket_connection};
const ClassSpec ProcessSocketTracker{"PyProcessSocketTracker", {}, tracker_extras};
const ClassSpec ProcessQueueTracker{"PyProcessQueueTracker", {}, tracker_extras};

const std::array<const ClassSpec*, 18>& all() {
    static const std::array<const ClassSpec*, 18> order = {
        &SystemSummary,   &MemoryInfo,        &CpuInfo,          &DiskInfo,
        &SocketStateSummary, &SocketConnection, &ProcessInfo,     &DirEntry,
        &ChildProcessEvent, &ProcessTracker,  &CpuTimes,         &DiskIoStats,
        &ProcessIoInfo,   &SocketStats,       &SocketQueueInfo,  &SocketConnectionEvent,
        &ProcessSocketTracker, &ProcessQueueTracker,
    };
    return order;
}

}  // namespace lumenstat::py::classes
