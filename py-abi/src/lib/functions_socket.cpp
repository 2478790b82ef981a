// The socket listings, summary, lookups and queues of the module.
#include <string>

#include "arguments.h"
#include "boundary.h"
#include "connection_lookups.h"
#include "errors.h"
#include "functions.h"
#include "os/system.h"
#include "py_ref.h"
#include "result_objects.h"
#include "socket/enumeration.h"
#include "socket/lookups.h"
#include "socket/parsers.h"
#include "socket/queues.h"

namespace lumenstat::py {
namespace {

PyObject* listing_object(const Result<StateGroups>& groups) {
    if (!groups) {
        return raise_runtime_error(groups.error());
    }
    return connection_list(flatten(*groups));
}

PyObject* found_object(const FoundConnection& found) {
    if (!found) {
        return raise_runtime_error(found.error());
    }
    return connection_or_none(*found ? &**found : nullptr);
}

// Length-aware: an invalid state is echoed exactly as given, NULs included.
PyObject* raise_value_error(const std::string& text) {
    PyRef message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (message) {
        PyErr_SetObject(PyExc_ValueError, message.get());
    }
    return nullptr;
}

constexpr Signature by_pid_signature = lookups::by_pid.function();
constexpr Signature by_inode_signature = lookups::by_inode.function();
constexpr Signature by_state_signature = lookups::by_state.function();
constexpr Signature by_local_signature = lookups::by_local.function();
constexpr Signature by_remote_signature = lookups::by_remote.function();
constexpr Signature queues_signature{"get_process_socket_queues()", lookups::pid_param};

// The address lookups: parse first, and enumerate only when the text parses.
template <class Lookup>
PyObject* by_address(const Signature& signature, const char* prefix, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, Lookup lookup) {
    auto arguments = parse_arguments(signature, args, nargs, kwnames);
    if (!arguments) {
        return nullptr;
    }
    ParseOutcome<SocketAddress> address = parse_socket_address(arguments->text(0));
    if (!address) {
        return raise_value_error(prefix + address.error);
    }
    return found_object(lookup(os::native(), *address.value));
}

}  // namespace

PyObject* py_get_socket_summary(PyObject*, PyObject*) {
    return at_boundary("py_get_socket_summary", []() -> PyObject* {
        auto summary = get_socket_summary(os::native());
        if (!summary) {
            return raise_runtime_error(summary.error());
        }
        return socket_summary_object(*summary);
    });
}

PyObject* get_connections(PyObject*, PyObject*) {
    return at_boundary("get_connections",
                       [] { return listing_object(lumenstat::get_connections(os::native())); });
}

PyObject* get_tcp_connections(PyObject*, PyObject*) {
    return at_boundary("get_tcp_connections",
                       [] { return listing_object(lumenstat::get_tcp_connections(os::native())); });
}

PyObject* get_udp_sockets(PyObject*, PyObject*) {
    return at_boundary("get_udp_sockets",
                       [] { return listing_object(lumenstat::get_udp_sockets(os::native())); });
}

PyObject* get_process_socket_queues(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return at_boundary("get_process_socket_queues", [&]() -> PyObject* {
        auto arguments = parse_arguments(queues_signature, args, nargs, kwnames);
        if (!arguments) {
            return nullptr;
        }
        auto queues = lumenstat::get_process_socket_queues(os::native(), arguments->pid(0));
        if (!queues) {
            return raise_runtime_error(queues.error());
        }
        return make_list(*queues, [](const SocketQueueInfo& q) { return queue_object(q); });
    });
}

PyObject* get_connection_by_pid(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return at_boundary("get_connection_by_pid", [&]() -> PyObject* {
        auto arguments = parse_arguments(by_pid_signature, args, nargs, kwnames);
        if (!arguments) {
            return nullptr;
        }
        return found_object(connection_by_pid(os::native(), arguments->pid(0)));
    });
}

PyObject* get_connection_by_inode(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return at_boundary("get_connection_by_inode", [&]() -> PyObject* {
        auto arguments = parse_arguments(by_inode_signature, args, nargs, kwnames);
        if (!arguments) {
            return nullptr;
        }
        return found_object(connection_by_inode(os::native(), arguments->number(0)));
    });
}

PyObject* get_connection_by_local_addr(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return at_boundary("get_connection_by_local_addr", [&]() -> PyObject* {
        return by_address(by_local_signature, "invalid local_addr: ", args, nargs, kwnames,
                          [](os::System& system, const SocketAddress& address) {
                              return connection_by_local_addr(system, address);
                          });
    });
}

PyObject* get_connection_by_remote_addr(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    return at_boundary("get_connection_by_remote_addr", [&]() -> PyObject* {
        return by_address(by_remote_signature, "invalid remote_addr: ", args, nargs, kwnames,
                          [](os::System& system, const SocketAddress& address) {
                              return connection_by_remote_addr(system, address);
                          });
    });
}

PyObject* get_connection_by_state(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return at_boundary("get_connection_by_state", [&]() -> PyObject* {
        auto arguments = parse_arguments(by_state_signature, args, nargs, kwnames);
        if (!arguments) {
            return nullptr;
        }
        ParseOutcome<SocketState> state = parse_socket_state(arguments->text(0));
        if (!state) {
            return raise_value_error(state.error);
        }
        auto group = connections_by_state(os::native(), *state.value);
        if (!group) {
            return raise_runtime_error(group.error());
        }
        return connection_list(*group);
    });
}

}  // namespace lumenstat::py
