// The storage functions of the module: mounted file systems, block-storage
// counters and directory listing.
#include <string>
#include <utility>

#include "arguments.h"
#include "boundary.h"
#include "classes.h"
#include "disk/disk_io.h"
#include "disk/disks.h"
#include "disk/list_dir.h"
#include "errors.h"
#include "functions.h"
#include "os/system.h"
#include "py_ref.h"

namespace lumenstat::py {
namespace {

constexpr Param path_param[] = {{"path", ParamKind::Text}};
constexpr Signature list_dir_signature{"list_dir()", path_param};

PyObject* raise_os_error(const std::string& text) {
    PyRef message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!message) return escalate_to_fatal("cannot allocate an error message");
    PyErr_SetObject(PyExc_OSError, message.get());
    return nullptr;
}

}  // namespace

PyObject* py_get_disks(PyObject*, PyObject*) {
    return at_boundary("py_get_disks", []() -> PyObject* {
        auto disks = get_disks(os::native());
        if (!disks) return raise_runtime_error(disks.error());
        return make_list(*disks, [](const DiskInfo& disk) {
            return make_instance(classes::DiskInfo, disk.device, disk.mount_point, disk.fs_type,
                                 disk.total_bytes, disk.used_bytes, disk.available_bytes,
                                 disk.usage_percent);
        });
    });
}

PyObject* py_get_disk_io_stats(PyObject*, PyObject*) {
    return at_boundary("py_get_disk_io_stats", []() -> PyObject* {
        auto drivers = get_disk_io_stats(os::native());
        if (!drivers) return raise_runtime_error(drivers.error());
        return make_list(*drivers, [](const DiskIoStats& stats) {
            return make_instance(classes::DiskIoStats, stats.device, stats.reads, stats.writes,
                                 stats.bytes_read, stats.bytes_written, stats.read_time_ms,
                                 stats.write_time_ms);
        });
    });
}

PyObject* list_dir(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return at_boundary("list_dir", [&]() -> PyObject* {
        auto arguments = parse_arguments(list_dir_signature, args, nargs, kwnames);
        if (!arguments) return nullptr;
        const std::string& path = arguments->text(0);
        auto entries = lumenstat::list_dir(os::native(), path);
        if (!entries) return raise_os_error("list_dir(" + path + "): " + entries.error().text());
        // The texts move into the objects: a listing may hold many entries.
        return make_list(*entries, [](DirEntry& entry) {
            return make_instance(classes::DirEntry, std::move(entry.name), std::move(entry.path),
                                 entry.is_dir, entry.size);
        });
    });
}

}  // namespace lumenstat::py
