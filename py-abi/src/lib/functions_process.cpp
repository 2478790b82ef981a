#include <string>

#include "arguments.h"
#include "boundary.h"
#include "classes.h"
#include "errors.h"
#include "functions.h"
#include "os/system.h"
#include "process/process_table.h"

namespace lumenstat::py {
namespace {

std::string joined_command(const std::vector<std::string>& cmdline) {
    std::size_t length = cmdline.empty() ? 0 : cmdline.size() - 1;
    for (const auto& argument : cmdline) {
        length += argument.size();
    }
    std::string command;
    command.reserve(length);
    for (std::size_t i = 0; i < cmdline.size(); ++i) {
        if (i > 0) {
            command += ' ';
        }
        command += cmdline[i];
    }
    return command;
}

PyObject* process_object(ProcessInfo&& process) {
    return make_instance(classes::ProcessInfo, process.pid, std::move(process.name),
                         joined_command(process.cmdline),
                         std::string(status_text(process.status)), process.memory_usage);
}

constexpr Param pid_only[] = {{"pid", ParamKind::Pid}};
constexpr Signature get_process_by_pid_signature{"get_process_by_pid()", pid_only};

}  // namespace

PyObject* get_processes(PyObject*, PyObject*) {
    return at_boundary("get_processes", []() -> PyObject* {
        auto processes = lumenstat::get_processes(os::native());
        if (!processes) {
            return raise_runtime_error(processes.error());
        }
        return make_list(std::move(*processes),
                         [](ProcessInfo& process) { return process_object(std::move(process)); });
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
                return process_object(std::move(process));
            }
        }
        Py_RETURN_NONE;
    });
}

}  // namespace lumenstat::py
