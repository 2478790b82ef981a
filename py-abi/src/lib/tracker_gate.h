// Admission of tracker threads to the interpreter lock, and deferred
// releases of Python references (see tracker_gate.cpp).
#pragma once

#include <Python.h>

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

// Keeps a strong reference until module code holding the interpreter lock
// releases it (release_pending_callbacks).
void defer_release(PyObject* object);

}  // namespace lumenstat::py
