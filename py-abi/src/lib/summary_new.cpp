// Construction of PySystemSummary: the snapshot, converted once into the form
// the instance keeps.
#include <utility>

#include "arguments.h"
#include "boundary.h"
#include "classes.h"
#include "errors.h"
#include "os/system.h"
#include "summary.h"
#include "system_summary.h"

namespace lumenstat::py::summary {
namespace {

constexpr Param sample_duration_only[] = {{"sample_duration", ParamKind::SampleDuration}};
constexpr Signature new_signature{"PySystemSummary.__new__()", sample_duration_only};

Stored stored_form(SystemSummary&& snapshot) {
    Stored stored;
    stored.memory = snapshot.memory;
    stored.cpu = std::move(snapshot.cpu);
    stored.disks = std::move(snapshot.disks);
    stored.socket_summary = snapshot.socket_summary;
    stored.connections.reserve(snapshot.connections.size());
    for (const SocketConnection& connection : snapshot.connections) {
        stored.connections.push_back(connection_form(connection));
    }
    stored.process_count = snapshot.processes.size();
    stored.processes.reserve(snapshot.processes.size());
    for (ProcessInfo& process : snapshot.processes) {
        stored.processes.push_back(process_form(std::move(process)));
    }
    stored.cpu_usage = std::move(snapshot.cpu_usage);
    return stored;
}

}  // namespace

// The class cannot be subclassed, so the type asked for is always the class itself.
PyObject* new_summary(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return at_boundary("PySystemSummary", [&]() -> PyObject* {
        auto arguments = parse_arguments(new_signature, args, kwargs);
        if (!arguments) {
            return nullptr;
        }
        auto snapshot =
            get_system_summary(os::native(), Duration::from_milliseconds(arguments->number(0)));
        if (!snapshot) {
            return raise_fatal_query("PySystemSummary", snapshot.error());
        }
        return make_native_instance(classes::SystemSummary, stored_form(std::move(*snapshot)));
    });
}

}  // namespace lumenstat::py::summary
