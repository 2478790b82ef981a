// Event sinks that hand a tracker's reports to a Python callable, on the
// tracker's thread, as plain dictionaries and lists.
//
// The interpreter may end this thread with pthread_exit while it waits for the
// interpreter lock (in PyGILState_Ensure, or inside the callback when that
// gives the lock up). The frames here therefore hold Python objects as plain
// pointers, not in owning handles: an owning handle would release them during
// that unwind, without the lock. What such an unwind skips is left behind for
// an interpreter that is going away anyway.
#include "tracker_sinks.h"

#include <unistd.h>

#include <exception>
#include <string>
#include <string_view>

#include "boundary.h"
#include "record_class.h"
#include "result_objects.h"
#include "socket/address_text.h"
#include "tracker_gate.h"

namespace lumenstat::py {
namespace {

PyObject* pid_value(std::uint32_t pid) { return PyLong_FromLong(static_cast<long>(pid)); }

// An item whose value cannot be made or set is left out.
void set_item(PyObject* dict, const char* key, PyObject* value) {
    if (value == nullptr || PyDict_SetItemString(dict, key, value) < 0) PyErr_Clear();
    Py_XDECREF(value);
}

PyObject* payload(const ChildProcessEvent& event) {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    set_item(dict, "pid", pid_value(event.pid));
    set_item(dict, "ppid", pid_value(event.ppid));
    set_item(dict, "name", text_to_python(event.name));
    set_item(dict, "cmdline", text_list_to_python(event.cmdline));
    set_item(dict, "exe_path", text_to_python(event.exe_path));
    set_item(dict, "start_time", PyLong_FromUnsignedLongLong(event.start_time));
    return dict;
}

PyObject* payload(const SocketConnectionEvent& event) {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    set_item(dict, "protocol", text_to_python(protocol_text(event.protocol)));
    set_item(dict, "local_addr", text_to_python(socket_address_text(event.local_addr)));
    set_item(dict, "remote_addr",
             text_to_python(event.remote_addr ? socket_address_text(*event.remote_addr)
                                              : std::string()));
    set_item(dict, "state", text_to_python(state_display_text(event.state)));
    set_item(dict, "pid", pid_value(event.pid.value_or(0)));
    set_item(dict, "inode", PyLong_FromUnsignedLongLong(event.inode));
    return dict;
}

PyObject* payload(const std::vector<SocketQueueInfo>& queues) {
    return make_list(queues, [](const SocketQueueInfo& q) { return queue_object(q); });
}

// A dictionary that cannot be allocated is a fault the tracker does not
// survive; a queue list that cannot be built only costs that report.
constexpr bool fatal_when_unbuilt(const ChildProcessEvent*) { return true; }
constexpr bool fatal_when_unbuilt(const SocketConnectionEvent*) { return true; }
constexpr bool fatal_when_unbuilt(const std::vector<SocketQueueInfo>*) { return false; }

void write_stderr(std::string_view message) {
    while (!message.empty()) {
        ssize_t n = ::write(2, message.data(), message.size());
        if (n <= 0) return;
        message.remove_prefix(static_cast<std::size_t>(n));
    }
}

template <class Report>
class PythonSink final : public EventSink<Report> {
public:
    explicit PythonSink(PyObject* callable) : callable_(callable) {}

    bool deliver(const Report& report) override {
        InterpreterEntry entry;
        if (!entry.admitted()) return true;  // the report is dropped
        PyGILState_STATE gil = PyGILState_Ensure();
        entry.holding_lock();
        release_pending_callbacks();
        bool go_on = call(report);
        PyGILState_Release(gil);
        return go_on;
    }

private:
    bool call(const Report& report) {
        PyObject* argument = nullptr;
        try {
            argument = payload(report);
        } catch (const std::exception&) {
            // Its texts could not be allocated. Nothing may unwind from here:
            // the interpreter lock would stay taken.
        }
        if (argument == nullptr) {
            PyErr_Clear();
            if (!fatal_when_unbuilt(&report)) return true;
            write_stderr("lumenstat: tracker thread ended: cannot allocate a payload\n");
            return false;
        }
        // Vectorcall where the callable's type has it, else the generic call.
        PyObject* result = PyObject_CallOneArg(callable_.get(), argument);
        if (result == nullptr) {
            PyErr_Clear();  // the callback's exception is discarded unseen
        }
        Py_XDECREF(result);
        Py_DECREF(argument);
        return true;
    }

    // The last holder of a tracker may be its thread, without the lock.
    DeferredReference callable_;
};

}  // namespace

std::unique_ptr<ChildSink> child_sink(PyObject* callback) {
    return std::make_unique<PythonSink<ChildProcessEvent>>(callback);
}

std::unique_ptr<SocketSink> socket_sink(PyObject* callback) {
    return std::make_unique<PythonSink<SocketConnectionEvent>>(callback);
}

std::unique_ptr<QueueSink> queue_sink(PyObject* callback) {
    return std::make_unique<PythonSink<std::vector<SocketQueueInfo>>>(callback);
}

}  // namespace lumenstat::py
