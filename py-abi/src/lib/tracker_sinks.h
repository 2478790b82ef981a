// The Python side of the trackers: event sinks that call a Python callable
// on the tracker's thread, and the bookkeeping that keeps those calls safe
// while the interpreter shuts down.
#pragma once

#include <Python.h>

#include <memory>

#include "process/tracker.h"

namespace lumenstat::py {

// Each takes a new strong reference to `callback`, which need not be callable.
std::unique_ptr<ChildSink> child_sink(PyObject* callback);
std::unique_ptr<SocketSink> socket_sink(PyObject* callback);
std::unique_ptr<QueueSink> queue_sink(PyObject* callback);

// Drops the references to callables whose last holder let go of them
// without the interpreter lock. Call with the lock held.
void release_pending_callbacks();

// Arranges, once per process, that the finalizing interpreter waits (for a
// bounded time) for the tracker threads that are about to take the
// interpreter lock and lets no more in, and that a forked child starts with
// no tracker thread counted. False with an exception set when that cannot be
// arranged.
bool watch_interpreter_exit();

}  // namespace lumenstat::py
