#include "arguments.h"
#include "boundary.h"
#include "classes.h"
#include "errors.h"
#include "functions.h"
#include "os/system.h"
#include "process/kill.h"
#include "process/process_cpu.h"
#include "process/process_io.h"

namespace lumenstat::py {
namespace {

constexpr Param pid_only[] = {{"pid", ParamKind::Pid}};
constexpr Param pid_and_duration[] = {{"pid", ParamKind::Pid},
                                      {"sample_duration", ParamKind::SampleDuration}};
constexpr Signature get_process_io_signature{"get_process_io()", pid_only};
constexpr Signature get_process_cpu_usage_signature{"get_process_cpu_usage()", pid_and_duration};
constexpr Signature kill_process_signature{"kill_process()", pid_only};

}  // namespace

PyObject* get_process_io(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return at_boundary("get_process_io", [&]() -> PyObject* {
        auto arguments = parse_arguments(get_process_io_signature, args, nargs, kwnames);
        if (!arguments) {
            return nullptr;
        }
        auto io = lumenstat::get_process_io(os::native(), arguments->pid(0));
        if (!io) {
            return raise_runtime_error(io.error());
        }
        return make_instance(classes::ProcessIoInfo, io->pid, io->read_bytes, io->write_bytes,
                             io->read_chars, io->write_chars, io->read_ops, io->write_ops);
    });
}

// The sampling sleep keeps the interpreter lock, as py_get_cpu_usage does.
PyObject* get_process_cpu_usage(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return at_boundary("get_process_cpu_usage", [&]() -> PyObject* {
        auto arguments = parse_arguments(get_process_cpu_usage_signature, args, nargs, kwnames);
        if (!arguments) {
            return nullptr;
        }
        auto usage = lumenstat::get_process_cpu_usage(
            os::native(), arguments->pid(0), Duration::from_milliseconds(arguments->number(1)));
        if (!usage) {
            return raise_runtime_error(usage.error());
        }
        return or_fatal(PyFloat_FromDouble(*usage), "cannot build a float");
    });
}

PyObject* kill_process(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return at_boundary("kill_process", [&]() -> PyObject* {
        auto arguments = parse_arguments(kill_process_signature, args, nargs, kwnames);
        if (!arguments) {
            return nullptr;
        }
        auto killed = lumenstat::kill_process(os::native(), arguments->pid(0));
        if (!killed) {
            return raise_runtime_display("kill_process: ", killed.error());
        }
        Py_RETURN_NONE;
    });
}

}  // namespace lumenstat::py
