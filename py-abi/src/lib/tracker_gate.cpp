// Which tracker threads may take the interpreter lock, and the references to
// callables that wait for someone holding it.
//
// A tracker thread checks that the interpreter is not finalizing before it
// asks for the lock; between the check and the request the interpreter could
// finalize entirely, and asking then would touch freed state. So a thread
// registers before its check and leaves once it holds the lock. Reports are
// delivered for as long as the interpreter is not finalizing, also while
// atexit handlers run. Once it finalizes, the interpreter ends every thread
// that asks for its lock with pthread_exit (which our frames let through,
// leaving on the way); late in finalization, before the interpreter lets go of
// its thread bookkeeping, a hook closes the gate and waits for the registered
// threads to leave, for a bounded time.
//
// fork() copies the count of registered threads but none of the threads: the
// child starts with none registered, and with both mutexes free.
#include "tracker_gate.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "never_destroyed.h"
#include "tracker_sinks.h"

namespace lumenstat::py {

// A reference waiting for its release, linked into the queue of them.
struct DeferredReference::Pending {
    PyObject* object = nullptr;
    Pending* next = nullptr;
};

namespace {

// Registered threads are between a check and a lock request, which takes them
// microseconds; the bound only keeps an exit from hanging on a thread that
// cannot be scheduled.
constexpr std::chrono::seconds kExitPatience{2};

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

void close_gate(void*) {
    Gate& g = gate();
    std::unique_lock lock(g.mutex);
    g.closed = true;
    g.left.wait_for(lock, kExitPatience, [&] { return g.entered == 0; });
}

void hold_for_fork() {
    gate().mutex.lock();
    pending().mutex.lock();
}

void release_in_parent() {
    pending().mutex.unlock();
    gate().mutex.unlock();
}

void release_in_child() {
    gate().entered = 0;
    release_in_parent();
}

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
    static std::mutex arranging;
    static bool fork_handled = false;
    static bool exit_hooked = false;
    std::lock_guard lock(arranging);
    if (!fork_handled) {
        if (int error = ::pthread_atfork(hold_for_fork, release_in_parent, release_in_child)) {
            errno = error;
            PyErr_SetFromErrno(PyExc_OSError);
            return false;
        }
        fork_handled = true;
    }
    if (!exit_hooked) {
        if (PyUnstable_AtExit(PyInterpreterState_Get(), close_gate, nullptr) < 0) return false;
        exit_hooked = true;
    }
    watching.store(true, std::memory_order_release);
    return true;
}

}  // namespace lumenstat::py
