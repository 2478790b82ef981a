#include "errors.h"

#include <string>

#include "once.h"
#include "py_ref.h"

namespace lumenstat::py {
namespace {

PyObject* raise_with_text(PyObject* type, std::string_view text) {
    PyRef message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (message) {
        PyErr_SetObject(type, message.get());
    }
    return nullptr;
}

}  // namespace

PyObject* fatal_error_type() {
    static OnceObject type;
    return type.get([] {
        return PyErr_NewExceptionWithDoc("lumenstat.FatalError",
                                         "An unrecoverable fault inside a lumenstat call.",
                                         PyExc_BaseException, nullptr);
    });
}

PyObject* raise_runtime_error(const QueryError& error) {
    return raise_with_text(PyExc_RuntimeError, error.debug());
}

PyObject* raise_runtime_display(std::string_view prefix, const QueryError& error) {
    std::string text(prefix);
    text += error.display();
    return raise_with_text(PyExc_RuntimeError, text);
}

PyObject* raise_fatal(std::string_view text) {
    PyObject* type = fatal_error_type();
    if (type == nullptr) {
        return nullptr;
    }
    return raise_with_text(type, text);
}

PyObject* raise_fault(const char* function, const char* fault) noexcept {
    PyObject* type = fatal_error_type();
    if (type == nullptr) {
        return nullptr;
    }
    PyObject* text = PyUnicode_FromFormat("%s: %s", function, fault);
    if (text != nullptr) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    return nullptr;
}

PyObject* raise_fatal_query(std::string_view function, const QueryError& error) {
    std::string text(function);
    text += " failed: ";
    text += error.debug();
    return raise_fatal(text);
}

PyObject* escalate_to_fatal(std::string_view what) {
    PyObject* pending = PyErr_GetRaisedException();
    if (pending == nullptr) {
        return raise_fatal(what);
    }
    PyRef cause(pending);
    const std::string prefix(what);
    // The pending exception's text joins as the str it is, whatever it holds.
    PyRef text(
        PyUnicode_FromFormat("%s: %s: %S", prefix.c_str(), Py_TYPE(pending)->tp_name, pending));
    if (!text) {
        PyErr_Clear();
        return raise_fatal(what);
    }
    PyObject* type = fatal_error_type();
    if (type != nullptr) {
        PyErr_SetObject(type, text.get());
    }
    return nullptr;
}

}  // namespace lumenstat::py
