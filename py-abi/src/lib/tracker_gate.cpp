// Which tracker threads may take the interpreter lock, and the references to
// callables that wait for someone holding it.
//
// A tracker thread checks that the interpreter is up before it asks for the
// lock; between the check and the request the interpreter could finalize
// entirely, and asking then would touch freed state. So a thread registers
// before its check and leaves once it holds the lock, and the interpreter's
// exit hook closes the gate and waits, without the lock, until the registered
// threads have left. After that no thread asks for the lock anew; one whose
// callback gives the lock up and asks for it again during finalization is
// ended by the interpreter with pthread_exit, which our frames let through.
#include "tracker_gate.h"

#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "never_destroyed.h"
#include "py_ref.h"
#include "tracker_sinks.h"

namespace lumenstat::py {

// A reference waiting for its release, linked into the queue of them.
struct DeferredReference::Pending {
    PyObject* object = nullptr;
    Pending* next = nullptr;
};

namespace {

struct Gate {
    std::mutex mutex;
    std::condition_variable left;
    int entered = 0;
    bool closed = false;
};

struct PendingReleases {
    std::mutex mutex;
    DeferredReference::Pending* first = nullptr;
};

// Tracker threads may still run while the process exits.
Gate& gate() {
    static NeverDestroyed<Gate> holder;
    return holder.get();
}

PendingReleases& pending() {
    static NeverDestroyed<PendingReleases> holder;
    return holder.get();
}

PyObject* close_gate(PyObject*, PyObject*) {
    Gate& g = gate();
    Py_BEGIN_ALLOW_THREADS {
        std::unique_lock lock(g.mutex);
        g.closed = true;
        g.left.wait(lock, [&] { return g.entered == 0; });
    }
    Py_END_ALLOW_THREADS release_pending_callbacks();
    Py_RETURN_NONE;
}

PyMethodDef close_gate_def = {"_close_tracker_gate", close_gate, METH_NOARGS, nullptr};

}  // namespace

InterpreterEntry::InterpreterEntry() {
    Gate& g = gate();
    std::lock_guard lock(g.mutex);
    if (g.closed) return;
    ++g.entered;
    registered_ = true;
}

InterpreterEntry::~InterpreterEntry() { holding_lock(); }

bool InterpreterEntry::admitted() const {
    return registered_ && Py_IsInitialized() != 0 && Py_IsFinalizing() == 0;
}

void InterpreterEntry::holding_lock() {
    if (!std::exchange(registered_, false)) return;
    Gate& g = gate();
    std::lock_guard lock(g.mutex);
    if (--g.entered == 0) g.left.notify_all();
}

DeferredReference::DeferredReference(PyObject* object) : pending_(std::make_unique<Pending>()) {
    pending_->object = Py_NewRef(object);
}

DeferredReference::~DeferredReference() {
    PendingReleases& p = pending();
    std::lock_guard lock(p.mutex);
    pending_->next = p.first;
    p.first = pending_.release();
}

PyObject* DeferredReference::get() const { return pending_->object; }

void release_pending_callbacks() {
    DeferredReference::Pending* taken;
    {
        PendingReleases& p = pending();
        std::lock_guard lock(p.mutex);
        taken = std::exchange(p.first, nullptr);
    }
    // Outside the mutex: a release may run code that lets go of another sink.
    while (taken != nullptr) {
        std::unique_ptr<DeferredReference::Pending> released(taken);
        taken = released->next;
        Py_DECREF(released->object);
    }
}

bool watch_interpreter_exit() {
    static std::atomic<bool> watching{false};
    if (watching.load(std::memory_order_acquire)) return true;
    PyRef atexit(PyImport_ImportModule("atexit"));
    PyRef hook(PyCFunction_New(&close_gate_def, nullptr));
    if (!atexit || !hook) return false;
    PyRef registered(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    if (!registered) return false;
    watching.store(true, std::memory_order_release);
    return true;
}

}  // namespace lumenstat::py
