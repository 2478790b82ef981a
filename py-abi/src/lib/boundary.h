// The edge of every module function: nothing unwinds past it. A C++
// exception that reaches it is an unrecoverable fault, raised as FatalError.
// The handler itself allocates nothing in C++: the fault is often that
// allocations fail.
#pragma once

#include <Python.h>

#include <exception>
#include <iterator>
#include <utility>

#include "errors.h"

namespace lumenstat::py {

template <class Body>
PyObject* at_boundary(const char* function, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& fault) {
        return raise_fault(function, fault.what());
    } catch (...) {
        return raise_fault(function, "unknown fault");
    }
}

// Resource exhaustion while building a result is unrecoverable as well.
inline PyObject* or_fatal(PyObject* made, const char* what) {
    return made != nullptr ? made : escalate_to_fatal(what);
}

// A list built at its final length, one item per element; null with the
// exception set (and the partial list released) when an item fails.
template <class Range, class MakeItem>
PyObject* make_list(Range&& items, MakeItem&& make_item) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(std::size(items)));
    if (list == nullptr) {
        return escalate_to_fatal("cannot allocate a list");
    }
    Py_ssize_t index = 0;
    for (auto&& item : items) {
        PyObject* converted = make_item(std::forward<decltype(item)>(item));
        if (converted == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, index++, converted);
    }
    return list;
}

}  // namespace lumenstat::py
