// Creation of process-lifetime Python objects (type objects, interned
// names) exactly once. A thread that finds another one creating the object
// waits on a PyMutex, which gives up the interpreter lock while it waits.
#pragma once

#include <Python.h>

#include <atomic>

namespace lumenstat::py {

class OnceObject {
public:
    // Returns the object (a borrowed reference kept for the process), making
    // it with `create` (which returns a new reference or null with an
    // exception set) on the first call. A failed creation is retried later.
    template <class Create>
    PyObject* get(Create&& create) {
        if (PyObject* ready = object_.load(std::memory_order_acquire)) {
            return ready;
        }
        PyMutex_Lock(&mutex_);
        PyObject* made = object_.load(std::memory_order_relaxed);
        if (made == nullptr) {
            made = create();
            if (made != nullptr) {
                object_.store(made, std::memory_order_release);
            }
        }
        PyMutex_Unlock(&mutex_);
        return made;
    }

private:
    PyMutex mutex_{};
    std::atomic<PyObject*> object_{nullptr};
};

}  // namespace lumenstat::py
