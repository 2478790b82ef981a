// The module functions, one file per subject; the function table lists them
// in registration order.
#pragma once

#include <Python.h>

#include <span>

#include "socket/values.h"

namespace lumenstat::py {

// Registration order of the module's functions.
std::span<PyMethodDef> function_table();

// CPU
PyObject* py_get_cpu_usage(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* py_get_cpu_info(PyObject* self, PyObject* unused);
PyObject* py_get_cpu_times(PyObject* self, PyObject* unused);

// Memory
PyObject* py_get_memory_info(PyObject* self, PyObject* unused);

// Storage
PyObject* py_get_disks(PyObject* self, PyObject* unused);
PyObject* py_get_disk_io_stats(PyObject* self, PyObject* unused);
PyObject* list_dir(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Processes
PyObject* get_processes(PyObject* self, PyObject* unused);
PyObject* get_process_count(PyObject* self, PyObject* unused);
PyObject* get_process_by_pid(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

// Process I/O, CPU usage and kill
PyObject* get_process_io(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* get_process_cpu_usage(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* kill_process(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Sockets
PyObject* py_get_socket_summary(PyObject* self, PyObject* unused);
PyObject* get_connections(PyObject* self, PyObject* unused);
PyObject* get_tcp_connections(PyObject* self, PyObject* unused);
PyObject* get_udp_sockets(PyObject* self, PyObject* unused);
PyObject* get_process_socket_queues(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyObject* get_connection_by_pid(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* get_connection_by_inode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
PyObject* get_connection_by_local_addr(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);
PyObject* get_connection_by_remote_addr(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames);
PyObject* get_connection_by_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

// Trackers
PyObject* start_tracking_children(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
PyObject* start_tracking_sockets(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);
PyObject* start_tracking_queues(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
// stop() of the three tracker classes.
PyObject* tracker_stop(PyObject* self, PyObject* unused);

// Per-connection traffic
PyObject* get_process_socket_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);

}  // namespace lumenstat::py
