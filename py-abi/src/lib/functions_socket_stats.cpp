// get_process_socket_stats: one process's TCP sockets with their traffic.
#include <string>

#include "arguments.h"
#include "boundary.h"
#include "classes.h"
#include "errors.h"
#include "functions.h"
#include "os/system.h"
#include "socket/address_text.h"
#include "socket/traffic.h"

namespace lumenstat::py {
namespace {

constexpr Param pid_param[] = {{"pid", ParamKind::Pid}};
constexpr Signature stats_signature{"get_process_socket_stats()", pid_param};

// An absent remote address shows as "".
PyObject* stats_object(const SocketStats& stats) {
    return make_instance(
        classes::SocketStats, stats.pid, stats.fd, std::string(protocol_text(stats.protocol)),
        socket_address_text(stats.local_addr),
        stats.remote_addr ? socket_address_text(*stats.remote_addr) : std::string(),
        stats.bytes_sent, stats.bytes_received);
}

}  // namespace

PyObject* get_process_socket_stats(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return at_boundary("get_process_socket_stats", [&]() -> PyObject* {
        auto arguments = parse_arguments(stats_signature, args, nargs, kwnames);
        if (!arguments) {
            return nullptr;
        }
        auto stats = lumenstat::get_process_socket_stats(os::native(), arguments->pid(0));
        if (!stats) {
            return raise_runtime_error(stats.error());
        }
        return make_list(*stats, [](const SocketStats& s) { return stats_object(s); });
    });
}

}  // namespace lumenstat::py
