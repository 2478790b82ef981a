#include "boundary.h"
#include "classes.h"
#include "errors.h"
#include "functions.h"
#include "memory.h"
#include "os/system.h"

namespace lumenstat::py {

// A failed memory query is unrecoverable for this call: FatalError.
PyObject* py_get_memory_info(PyObject*, PyObject*) {
    return at_boundary("py_get_memory_info", []() -> PyObject* {
        auto memory = get_memory_info(os::native());
        if (!memory) {
            return raise_fatal_query("py_get_memory_info", memory.error());
        }
        return make_instance(classes::MemoryInfo, memory->total, memory->available, memory->used,
                             memory->free, memory->usage_percent);
    });
}

}  // namespace lumenstat::py
