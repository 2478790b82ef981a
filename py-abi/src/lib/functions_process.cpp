#include <string>

#include "arguments.h"
#include "boundary.h"
#include "classes.h"
#include "errors.h"
#include "functions.h"
#include "os/system.h"
#include "process/process_table.h"
#include "result_objects.h"

namespace lumenstat::py {
namespace {

constexpr Param pid_only[] = {{"pid", ParamKind::Pid}};
constexpr Signature get_process_by_pid_signature{"get_process_by_pid()", pid_only};

}  // namespace

PyObject* get_processes(PyObject*, PyObject*) {
    return at_boundary("get_processes", []() -> PyObject* {
        auto processes = lumenstat::get_processes(os::native());
        if (!processes) {
            return raise_runtime_error(processes.error());
        }
        return make_list(std::move(*processes), [](ProcessInfo& process) {
            return process_object(process_form(std::move(process)));
        });
    });
}

PyObject* get_process_count(PyObject*, PyObject*) {
    return at_boundary("get_process_count", []() -> PyObject* {
        auto processes = lumenstat::get_processes(os::native());
        if (!processes) {
            return raise_runtime_error(processes.error());
        }
        return or_fatal(PyLong_FromUnsignedLongLong(processes->size()), "cannot build a count");
    });
}

PyObject* get_process_by_pid(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return at_boundary("get_process_by_pid", [&]() -> PyObject* {
        auto arguments = parse_arguments(get_process_by_pid_signature, args, nargs, kwnames);
        if (!arguments) {
            return nullptr;
        }
        const std::uint32_t pid = arguments->pid(0);
        auto processes = lumenstat::get_processes(os::native());
        if (!processes) {
            return raise_runtime_error(processes.error());
        }
        for (auto& process : *processes) {
            if (process.pid == pid) {
                return process_object(process_form(std::move(process)));
            }
        }
        Py_RETURN_NONE;
    });
}

}  // namespace lumenstat::py
