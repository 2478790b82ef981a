#include "boundary.h"
#include "errors.h"
#include "functions.h"
#include "memory.h"
#include "os/system.h"
#include "result_objects.h"

namespace lumenstat::py {

// A failed memory query is unrecoverable for this call: FatalError.
PyObject* py_get_memory_info(PyObject*, PyObject*) {
    return at_boundary("py_get_memory_info", []() -> PyObject* {
        auto memory = get_memory_info(os::native());
        if (!memory) {
            return raise_fatal_query("py_get_memory_info", memory.error());
        }
        return memory_object(*memory);
    });
}

}  // namespace lumenstat::py
