// How failures become Python exceptions: query errors by the calling
// function's rule, and unrecoverable faults as FatalError.
#pragma once

#include <Python.h>

#include <string_view>

#include "error.h"

namespace lumenstat::py {

// RuntimeError carrying the error's debug form.
PyObject* raise_runtime_error(const QueryError& error);

// RuntimeError "<prefix>" + the error's display form.
PyObject* raise_runtime_display(std::string_view prefix, const QueryError& error);

// FatalError "<function> failed: " + the error's debug form.
PyObject* raise_fatal_query(std::string_view function, const QueryError& error);

// FatalError with the given text. FatalError derives from BaseException
// directly, so `except Exception` lets it through.
PyObject* raise_fatal(std::string_view text);

// FatalError "<function>: <fault>", made by the interpreter alone, so that
// it can be raised when C++ allocations fail; MemoryError when the
// interpreter cannot allocate either.
PyObject* raise_fault(const char* function, const char* fault) noexcept;

// Replaces a pending exception (or none) by a FatalError naming what failed;
// used where the module cannot go on, such as a failed object allocation.
PyObject* escalate_to_fatal(std::string_view what);

// The FatalError class, created on first use and kept for the process.
PyObject* fatal_error_type();

}  // namespace lumenstat::py
