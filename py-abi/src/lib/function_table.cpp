#include "functions.h"

namespace lumenstat::py {
namespace {

constexpr int no_arguments = METH_NOARGS | METH_STATIC;
constexpr int with_arguments = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

template <class Function>
PyCFunction entry(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Each documentation string is only a text signature, so __text_signature__
// is the parameter list and __doc__ is None.
PyMethodDef table[] = {
    {"py_get_cpu_usage", entry(py_get_cpu_usage), with_arguments,
     "py_get_cpu_usage(sample_duration)\n--\n\n"},
    {"py_get_cpu_info", entry(py_get_cpu_info), no_arguments, "py_get_cpu_info()\n--\n\n"},
    {"py_get_cpu_times", entry(py_get_cpu_times), no_arguments, "py_get_cpu_times()\n--\n\n"},
    {"py_get_memory_info", entry(py_get_memory_info), no_arguments, "py_get_memory_info()\n--\n\n"},
    {"py_get_disks", entry(py_get_disks), no_arguments, "py_get_disks()\n--\n\n"},
    {"py_get_disk_io_stats", entry(py_get_disk_io_stats), no_arguments,
     "py_get_disk_io_stats()\n--\n\n"},
    {"py_get_socket_summary", entry(py_get_socket_summary), no_arguments,
     "py_get_socket_summary()\n--\n\n"},
    {"get_connections", entry(get_connections), no_arguments, "get_connections()\n--\n\n"},
    {"get_tcp_connections", entry(get_tcp_connections), no_arguments,
     "get_tcp_connections()\n--\n\n"},
    {"get_udp_sockets", entry(get_udp_sockets), no_arguments, "get_udp_sockets()\n--\n\n"},
    {"get_processes", entry(get_processes), no_arguments, "get_processes()\n--\n\n"},
    {"get_process_count", entry(get_process_count), no_arguments, "get_process_count()\n--\n\n"},
    {"get_process_by_pid", entry(get_process_by_pid), with_arguments,
     "get_process_by_pid(pid)\n--\n\n"},
    {"get_process_io", entry(get_process_io), with_arguments, "get_process_io(pid)\n--\n\n"},
    {"get_process_cpu_usage", entry(get_process_cpu_usage), with_arguments,
     "get_process_cpu_usage(pid, sample_duration)\n--\n\n"},
    {"get_process_socket_stats", entry(get_process_socket_stats), with_arguments,
     "get_process_socket_stats(pid)\n--\n\n"},
    {"get_process_socket_queues", entry(get_process_socket_queues), with_arguments,
     "get_process_socket_queues(pid)\n--\n\n"},
    {"get_connection_by_pid", entry(get_connection_by_pid), with_arguments,
     "get_connection_by_pid(pid)\n--\n\n"},
    {"get_connection_by_inode", entry(get_connection_by_inode), with_arguments,
     "get_connection_by_inode(inode)\n--\n\n"},
    {"get_connection_by_local_addr", entry(get_connection_by_local_addr), with_arguments,
     "get_connection_by_local_addr(local_addr)\n--\n\n"},
    {"get_connection_by_remote_addr", entry(get_connection_by_remote_addr), with_arguments,
     "get_connection_by_remote_addr(remote_addr)\n--\n\n"},
    {"get_connection_by_state", entry(get_connection_by_state), with_arguments,
     "get_connection_by_state(state)\n--\n\n"},
    {"list_dir", entry(list_dir), with_arguments, "list_dir(path)\n--\n\n"},
    {"kill_process", entry(kill_process), with_arguments, "kill_process(pid)\n--\n\n"},
    {"start_tracking_children", entry(start_tracking_children), with_arguments,
     "start_tracking_children(pid, callback)\n--\n\n"},
    {"start_tracking_sockets", entry(start_tracking_sockets), with_arguments,
     "start_tracking_sockets(pid, callback)\n--\n\n"},
    {"start_tracking_queues", entry(start_tracking_queues), with_arguments,
     "start_tracking_queues(pid, callback)\n--\n\n"},
};

}  // namespace

std::span<PyMethodDef> function_table() { return table; }

}  // namespace lumenstat::py
