// Admission of tracker threads to the interpreter lock, and deferred
// releases of Python references (see tracker_gate.cpp).
#pragma once

#include <Python.h>

#include <memory>

namespace lumenstat::py {

// Held by a tracker thread from before it checks the interpreter until it
// holds the interpreter lock. Leaving is also done by the destructor, so an
// unwind out of PyGILState_Ensure leaves as well.
class InterpreterEntry {
public:
    InterpreterEntry();
    ~InterpreterEntry();
    InterpreterEntry(const InterpreterEntry&) = delete;
    InterpreterEntry& operator=(const InterpreterEntry&) = delete;

    // Whether the thread may ask for the interpreter lock now.
    bool admitted() const;
    // Called once the thread holds the lock.
    void holding_lock();

private:
    bool registered_ = false;
};

// A strong reference whose last holder may be a thread without the
// interpreter lock: its release then waits for module code that holds the
// lock (release_pending_callbacks). The place in that queue is allocated
// with the reference, so letting go of it allocates nothing and cannot fail.
class DeferredReference {
public:
    // Takes a new strong reference; throws std::bad_alloc, taking none, when
    // its place in the queue cannot be allocated.
    explicit DeferredReference(PyObject* object);
    ~DeferredReference();
    DeferredReference(const DeferredReference&) = delete;
    DeferredReference& operator=(const DeferredReference&) = delete;

    PyObject* get() const;

    struct Pending;

private:
    std::unique_ptr<Pending> pending_;
};

}  // namespace lumenstat::py
