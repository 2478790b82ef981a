#include "result_objects.h"

#include <utility>
#include <vector>

#include "boundary.h"
#include "classes.h"
#include "socket/address_text.h"

namespace lumenstat::py {
namespace {

std::string joined_command(const std::vector<std::string>& cmdline) {
    std::size_t length = cmdline.empty() ? 0 : cmdline.size() - 1;
    for (const auto& argument : cmdline) {
        length += argument.size();
    }
    std::string command;
    command.reserve(length);
    for (std::size_t i = 0; i < cmdline.size(); ++i) {
        if (i > 0) {
            command += ' ';
        }
        command += cmdline[i];
    }
    return command;
}

}  // namespace

ConnectionForm connection_form(const SocketConnection& connection) {
    return ConnectionForm{
        std::string(protocol_text(connection.protocol)),
        socket_address_text(connection.local_addr),
        connection.remote_addr ? socket_address_text(*connection.remote_addr)
                               : std::string("127.0.0.1:0"),
        std::string(state_display_text(connection.state)),
        connection.pid.value_or(0),
        connection.inode,
    };
}

ProcessForm process_form(ProcessInfo&& process) {
    return ProcessForm{process.pid, std::move(process.name), joined_command(process.cmdline),
                       std::string(status_text(process.status)), process.memory_usage};
}

PyObject* connection_object(ConnectionForm form) {
    return make_instance(classes::SocketConnection, std::move(form.protocol),
                         std::move(form.local_addr), std::move(form.remote_addr),
                         std::move(form.state), form.pid, form.inode);
}

PyObject* connection_list(std::span<const SocketConnection> connections) {
    return make_list(connections, [](const SocketConnection& connection) {
        return connection_object(connection_form(connection));
    });
}

PyObject* connection_list(std::span<const ConnectionForm> forms) {
    return make_list(forms, [](const ConnectionForm& form) { return connection_object(form); });
}

PyObject* connection_or_none(const SocketConnection* connection) {
    if (connection == nullptr) {
        Py_RETURN_NONE;
    }
    return connection_object(connection_form(*connection));
}

PyObject* connection_or_none(const ConnectionForm* form) {
    if (form == nullptr) {
        Py_RETURN_NONE;
    }
    return connection_object(*form);
}

PyObject* process_object(ProcessForm form) {
    return make_instance(classes::ProcessInfo, form.pid, std::move(form.name),
                         std::move(form.command), std::move(form.status), form.memory_usage);
}

PyObject* memory_object(const MemoryInfo& memory) {
    return make_instance(classes::MemoryInfo, memory.total, memory.available, memory.used,
                         memory.free, memory.usage_percent);
}

PyObject* cpu_info_object(CpuInfo info) {
    return make_instance(classes::CpuInfo, info.physical_cores, info.logical_cores,
                         std::move(info.model_name), std::move(info.vendor), info.frequency_mhz);
}

PyObject* disk_object(DiskInfo disk) {
    return make_instance(classes::DiskInfo, std::move(disk.device), std::move(disk.mount_point),
                         std::move(disk.fs_type), disk.total_bytes, disk.used_bytes,
                         disk.available_bytes, disk.usage_percent);
}

PyObject* socket_summary_object(const SocketStateSummary& summary) {
    return make_instance(classes::SocketStateSummary, summary.total, summary.established,
                         summary.listen, summary.time_wait, summary.close_wait);
}

PyObject* queue_object(const SocketQueueInfo& queue) {
    return make_instance(
        classes::SocketQueueInfo, queue.pid, queue.fd, std::string(protocol_text(queue.protocol)),
        socket_address_text(queue.local_addr),
        queue.remote_addr ? socket_address_text(*queue.remote_addr) : std::string(),
        std::string(state_display_text(queue.state)), queue.recv_queue_bytes,
        queue.recv_queue_hiwat, queue.send_queue_bytes, queue.send_queue_hiwat);
}

}  // namespace lumenstat::py
