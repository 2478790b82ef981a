// The tracker start functions and the trackers' stop().
#include <utility>

#include "arguments.h"
#include "boundary.h"
#include "classes.h"
#include "errors.h"
#include "functions.h"
#include "os/system.h"
#include "process/tracker.h"
#include "tracker_sinks.h"

namespace lumenstat::py {
namespace {

constexpr Param tracker_params[] = {{"pid", ParamKind::Pid}, {"callback", ParamKind::Callback}};
constexpr Signature children_signature{"start_tracking_children()", tracker_params};
constexpr Signature sockets_signature{"start_tracking_sockets()", tracker_params};
constexpr Signature queues_signature{"start_tracking_queues()", tracker_params};

// Converts the arguments, starts the tracker with a sink around the callback
// and wraps its handle in a new instance of `spec`.
template <class Start>
PyObject* start_tracker(const Signature& signature, const ClassSpec& spec, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames, Start start) {
    auto arguments = parse_arguments(signature, args, nargs, kwnames);
    if (!arguments) {
        return nullptr;
    }
    release_pending_callbacks();
    if (!watch_interpreter_exit()) {
        return nullptr;
    }
    auto tracker = start(arguments->pid(0), arguments->object(1));
    if (!tracker) {
        return raise_fatal(tracker.error().text());
    }
    TrackerHandle handle(std::move(*tracker));
    PyObject* object = make_native_instance(spec, std::move(handle));
    if (object == nullptr) {
        handle.stop();  // no object will ever stop it
    }
    return object;
}

}  // namespace

PyObject* start_tracking_children(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return at_boundary("start_tracking_children", [&] {
        return start_tracker(children_signature, classes::ProcessTracker, args, nargs, kwnames,
                             [](std::uint32_t pid, PyObject* callback) {
                                 return lumenstat::start_tracking_children(os::native(), pid,
                                                                           child_sink(callback));
                             });
    });
}

PyObject* start_tracking_sockets(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return at_boundary("start_tracking_sockets", [&] {
        return start_tracker(sockets_signature, classes::ProcessSocketTracker, args, nargs, kwnames,
                             [](std::uint32_t pid, PyObject* callback) {
                                 return lumenstat::start_tracking_sockets(os::native(), pid,
                                                                          socket_sink(callback));
                             });
    });
}

PyObject* start_tracking_queues(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return at_boundary("start_tracking_queues", [&] {
        return start_tracker(queues_signature, classes::ProcessQueueTracker, args, nargs, kwnames,
                             [](std::uint32_t pid, PyObject* callback) {
                                 return lumenstat::start_tracking_queues(os::native(), pid,
                                                                         queue_sink(callback));
                             });
    });
}

PyObject* tracker_stop(PyObject* self, PyObject*) {
    return at_boundary("stop", [self] {
        native_of<TrackerHandle>(self).stop();
        release_pending_callbacks();
        Py_RETURN_NONE;
    });
}

}  // namespace lumenstat::py
