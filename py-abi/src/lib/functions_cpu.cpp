#include "arguments.h"
#include "boundary.h"
#include "classes.h"
#include "cpu/cpu_info.h"
#include "cpu/cpu_times.h"
#include "cpu/cpu_usage.h"
#include "errors.h"
#include "functions.h"
#include "os/system.h"
#include "result_objects.h"

namespace lumenstat::py {
namespace {

constexpr Param sample_duration_only[] = {{"sample_duration", ParamKind::SampleDuration}};
constexpr Signature py_get_cpu_usage_signature{"py_get_cpu_usage()", sample_duration_only};

}  // namespace

// The sampling sleep keeps the interpreter lock: no other Python thread runs
// during the span.
PyObject* py_get_cpu_usage(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return at_boundary("py_get_cpu_usage", [&]() -> PyObject* {
        auto arguments = parse_arguments(py_get_cpu_usage_signature, args, nargs, kwnames);
        if (!arguments) {
            return nullptr;
        }
        auto usage = get_cpu_usage(os::native(), Duration::from_milliseconds(arguments->number(0)));
        if (!usage) {
            return raise_fatal_query("py_get_cpu_usage", usage.error());
        }
        return make_list(*usage, [](double percent) {
            return or_fatal(PyFloat_FromDouble(percent), "cannot build a float");
        });
    });
}

PyObject* py_get_cpu_info(PyObject*, PyObject*) {
    return at_boundary("py_get_cpu_info", []() -> PyObject* {
        auto info = get_cpu_info(os::native());
        if (!info) {
            return raise_fatal_query("py_get_cpu_info", info.error());
        }
        return cpu_info_object(std::move(*info));
    });
}

PyObject* py_get_cpu_times(PyObject*, PyObject*) {
    return at_boundary("py_get_cpu_times", []() -> PyObject* {
        auto times = get_cpu_times(os::native());
        if (!times) {
            return raise_runtime_error(times.error());
        }
        return make_list(*times, [](const CpuTimes& t) {
            return make_instance(classes::CpuTimes, t.user, t.system, t.idle, t.nice, t.iowait);
        });
    });
}

}  // namespace lumenstat::py
