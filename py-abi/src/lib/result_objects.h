// Result objects of the records that more than one entry point hands out, so
// that a module function and the system summary convert a record alike.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>

#include "cpu/cpu_info.h"
#include "disk/disks.h"
#include "memory.h"
#include "process/process_table.h"
#include "socket/values.h"

namespace lumenstat::py {

// A connection as Python shows it: texts for protocol, addresses and state; a
// missing remote address is "127.0.0.1:0" and a missing owner pid 0.
struct ConnectionForm {
    std::string protocol;
    std::string local_addr;
    std::string remote_addr;
    std::string state;
    std::uint32_t pid = 0;
    std::uint64_t inode = 0;
};

// A process as Python shows it: the argument list joined by spaces, the
// status as text.
struct ProcessForm {
    std::uint32_t pid = 0;
    std::string name;
    std::string command;
    std::string status;
    std::uint64_t memory_usage = 0;
};

ConnectionForm connection_form(const SocketConnection& connection);
ProcessForm process_form(ProcessInfo&& process);

// New instances; null with the exception set on failure. The forms are taken
// by value: callers move what they no longer need and copy what they keep.
PyObject* connection_object(ConnectionForm form);
// One connection object per record or form, in their order; a connection or
// None when there is none.
PyObject* connection_list(std::span<const SocketConnection> connections);
PyObject* connection_list(std::span<const ConnectionForm> forms);
PyObject* connection_or_none(const SocketConnection* connection);
PyObject* connection_or_none(const ConnectionForm* form);
PyObject* process_object(ProcessForm form);
PyObject* memory_object(const MemoryInfo& memory);
PyObject* cpu_info_object(CpuInfo info);
PyObject* disk_object(DiskInfo disk);
PyObject* socket_summary_object(const SocketStateSummary& summary);
// As the queue listing and the queue tracker hand it out.
PyObject* queue_object(const SocketQueueInfo& queue);

}  // namespace lumenstat::py
