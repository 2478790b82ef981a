// PySystemSummary: one snapshot of the machine taken at construction, read
// back through attributes and methods that build new objects on every read.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "record_class.h"
#include "result_objects.h"

namespace lumenstat::py::summary {

// What an instance keeps. Connections and processes are stored in the form
// Python shows, so that lookups compare exactly the texts a reader sees.
struct Stored {
    MemoryInfo memory;
    CpuInfo cpu;
    std::vector<DiskInfo> disks;
    SocketStateSummary socket_summary;
    std::vector<ConnectionForm> connections;
    std::uint64_t process_count = 0;
    std::vector<ProcessForm> processes;
    std::vector<double> cpu_usage;
};

// tp_new: takes the snapshot; FatalError when one of its queries fails.
PyObject* new_summary(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// The 14 methods, in declaration order, and the 8 attribute getters; each
// instance carries its Stored as its native object.
extern PyMethodDef methods[];
extern PyGetSetDef getters[];

}  // namespace lumenstat::py::summary
