// Reading a PySystemSummary: every attribute and method answers from the
// stored snapshot alone, with new objects on every call.
#include <string>
#include <vector>

#include "arguments.h"
#include "boundary.h"
#include "classes.h"
#include "connection_lookups.h"
#include "errors.h"
#include "py_ref.h"
#include "summary.h"

namespace lumenstat::py::summary {
namespace {

const Stored& stored_of(PyObject* self) { return native_of<const Stored>(self); }

// The interpreter checks the receiver of a method called through its
// descriptor; a method body checks again, for callers that bypass it.
const Stored* receiver(PyObject* self) {
    PyTypeObject* type = record_type(classes::SystemSummary);
    if (type == nullptr) {
        return nullptr;
    }
    if (!PyType_IsSubtype(Py_TYPE(self), type)) {
        PyRef name(PyType_GetName(Py_TYPE(self)));
        if (name) {
            PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'PySystemSummary'",
                         name.get());
        }
        return nullptr;
    }
    return &stored_of(self);
}

PyObject* memory(const Stored& s) { return memory_object(s.memory); }
PyObject* cpu(const Stored& s) { return cpu_info_object(s.cpu); }
PyObject* socket_summary(const Stored& s) { return socket_summary_object(s.socket_summary); }

PyObject* disks(const Stored& s) {
    return make_list(s.disks, [](const DiskInfo& disk) { return disk_object(disk); });
}

PyObject* connections(const Stored& s) { return connection_list(s.connections); }

PyObject* process_count(const Stored& s) {
    return or_fatal(PyLong_FromUnsignedLongLong(s.process_count), "cannot build a count");
}

PyObject* processes(const Stored& s) {
    return make_list(s.processes, [](const ProcessForm& p) { return process_object(p); });
}

PyObject* cpu_usage(const Stored& s) {
    return make_list(s.cpu_usage, [](double percent) {
        return or_fatal(PyFloat_FromDouble(percent), "cannot build a float");
    });
}

using Reader = PyObject* (*)(const Stored&);

template <Reader read>
PyObject* attribute(PyObject* self, void*) {
    return at_boundary("PySystemSummary", [self] { return read(stored_of(self)); });
}

template <Reader read>
PyObject* no_arguments(PyObject* self, PyObject*) {
    return at_boundary("PySystemSummary", [self]() -> PyObject* {
        const Stored* stored = receiver(self);
        return stored != nullptr ? read(*stored) : nullptr;
    });
}

// Lookups scan the stored order from the start; texts compare byte for byte,
// with no parsing or case folding of the argument.
template <class Item, class Matches>
const Item* first(const std::vector<Item>& items, Matches matches) {
    for (const Item& item : items) {
        if (matches(item)) {
            return &item;
        }
    }
    return nullptr;
}

template <class Body>
PyObject* lookup(const Signature& signature, PyObject* self, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames, Body body) {
    return at_boundary(signature.function, [&]() -> PyObject* {
        const Stored* stored = receiver(self);
        if (stored == nullptr) {
            return nullptr;
        }
        auto arguments = parse_arguments(signature, args, nargs, kwnames);
        if (!arguments) {
            return nullptr;
        }
        return body(*stored, *arguments);
    });
}

constexpr Signature process_by_pid{"PySystemSummary.get_process_by_pid()", lookups::pid_param};
constexpr Signature by_pid = lookups::by_pid.method();
constexpr Signature by_inode = lookups::by_inode.method();
constexpr Signature by_local = lookups::by_local.method();
constexpr Signature by_remote = lookups::by_remote.method();
constexpr Signature by_state = lookups::by_state.method();

PyObject* get_process_by_pid(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return lookup(process_by_pid, self, args, nargs, kwnames,
                  [](const Stored& s, const Arguments& a) -> PyObject* {
                      const std::uint32_t pid = a.pid(0);
                      const ProcessForm* found =
                          first(s.processes, [pid](const ProcessForm& p) { return p.pid == pid; });
                      if (found == nullptr) {
                          Py_RETURN_NONE;
                      }
                      return process_object(*found);
                  });
}

PyObject* get_connection_by_pid(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return lookup(by_pid, self, args, nargs, kwnames, [](const Stored& s, const Arguments& a) {
        const std::uint32_t pid = a.pid(0);
        return connection_or_none(
            first(s.connections, [pid](const ConnectionForm& c) { return c.pid == pid; }));
    });
}

PyObject* get_connection_by_inode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return lookup(by_inode, self, args, nargs, kwnames, [](const Stored& s, const Arguments& a) {
        const std::uint64_t inode = a.number(0);
        return connection_or_none(
            first(s.connections, [inode](const ConnectionForm& c) { return c.inode == inode; }));
    });
}

PyObject* get_connection_by_local_addr(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return lookup(by_local, self, args, nargs, kwnames, [](const Stored& s, const Arguments& a) {
        const std::string& text = a.text(0);
        return connection_or_none(first(
            s.connections, [&text](const ConnectionForm& c) { return c.local_addr == text; }));
    });
}

PyObject* get_connection_by_remote_addr(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    return lookup(by_remote, self, args, nargs, kwnames, [](const Stored& s, const Arguments& a) {
        const std::string& text = a.text(0);
        return connection_or_none(first(
            s.connections, [&text](const ConnectionForm& c) { return c.remote_addr == text; }));
    });
}

PyObject* get_connection_by_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return lookup(by_state, self, args, nargs, kwnames, [](const Stored& s, const Arguments& a) {
        std::vector<ConnectionForm> matching;
        for (const ConnectionForm& connection : s.connections) {
            if (connection.state == a.text(0)) {
                matching.push_back(connection);
            }
        }
        return connection_list(matching);
    });
}

template <class Function>
PyCFunction entry(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int with_arguments = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyGetSetDef getters[] = {
    {"memory", attribute<memory>, nullptr, nullptr, nullptr},
    {"cpu", attribute<cpu>, nullptr, nullptr, nullptr},
    {"disks", attribute<disks>, nullptr, nullptr, nullptr},
    {"socket_summary", attribute<socket_summary>, nullptr, nullptr, nullptr},
    {"connections", attribute<connections>, nullptr, nullptr, nullptr},
    {"process_count", attribute<process_count>, nullptr, nullptr, nullptr},
    {"processes", attribute<processes>, nullptr, nullptr, nullptr},
    {"cpu_usage", attribute<cpu_usage>, nullptr, nullptr, nullptr},
    {},
};

PyMethodDef methods[] = {
    {"get_connections", no_arguments<connections>, METH_NOARGS, "get_connections($self)\n--\n\n"},
    {"get_processes", no_arguments<processes>, METH_NOARGS, "get_processes($self)\n--\n\n"},
    {"get_process_count", no_arguments<process_count>, METH_NOARGS,
     "get_process_count($self)\n--\n\n"},
    {"get_process_by_pid", entry(get_process_by_pid), with_arguments,
     "get_process_by_pid($self, pid)\n--\n\n"},
    {"get_connection_by_pid", entry(get_connection_by_pid), with_arguments,
     "get_connection_by_pid($self, pid)\n--\n\n"},
    {"get_connection_by_inode", entry(get_connection_by_inode), with_arguments,
     "get_connection_by_inode($self, inode)\n--\n\n"},
    {"get_connection_by_local_addr", entry(get_connection_by_local_addr), with_arguments,
     "get_connection_by_local_addr($self, local_addr)\n--\n\n"},
    {"get_connection_by_remote_addr", entry(get_connection_by_remote_addr), with_arguments,
     "get_connection_by_remote_addr($self, remote_addr)\n--\n\n"},
    {"get_connection_by_state", entry(get_connection_by_state), with_arguments,
     "get_connection_by_state($self, state)\n--\n\n"},
    {"get_cpu_usage", no_arguments<cpu_usage>, METH_NOARGS, "get_cpu_usage($self)\n--\n\n"},
    {"get_cpu_info", no_arguments<cpu>, METH_NOARGS, "get_cpu_info($self)\n--\n\n"},
    {"get_memory_info", no_arguments<memory>, METH_NOARGS, "get_memory_info($self)\n--\n\n"},
    {"get_disks", no_arguments<disks>, METH_NOARGS, "get_disks($self)\n--\n\n"},
    {"get_socket_summary", no_arguments<socket_summary>, METH_NOARGS,
     "get_socket_summary($self)\n--\n\n"},
    {},
};

}  // namespace lumenstat::py::summary
