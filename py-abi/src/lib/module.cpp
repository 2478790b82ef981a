// The module definition, its exec step and the entry point.
#include <Python.h>

#include <string_view>

#include "classes.h"
#include "functions.h"
#include "py_ref.h"

namespace lumenstat::py {
namespace {

void raise_type_mismatch(PyObject* object, const char* expected) {
    PyRef name(PyType_GetName(Py_TYPE(object)));
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
}

// Adds one public name: appended to __all__ (created on first use), then set
// as the module attribute.
int add_public(PyObject* module, PyObject* name, PyObject* value) {
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return -1;
        }
    } else if (!PyList_Check(all.get())) {
        raise_type_mismatch(all.get(), "list");
        return -1;
    }
    if (PyList_Append(all.get(), name) < 0) {
        return -1;
    }
    return PyObject_SetAttr(module, name, value);
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        raise_type_mismatch(module, "PyModule");
        return -1;
    }
    for (const ClassSpec* spec : classes::all()) {
        PyTypeObject* type = record_type(*spec);
        if (type == nullptr) {
            return -1;
        }
        PyRef name(PyUnicode_FromString(spec->name));
        if (!name || add_public(module, name.get(), reinterpret_cast<PyObject*>(type)) < 0) {
            return -1;
        }
    }
    for (PyMethodDef& def : function_table()) {
        PyRef function(PyCMethod_New(&def, nullptr, nullptr, nullptr));
        if (!function) {
            return -1;
        }
        PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name) {
            return -1;
        }
        if (!PyUnicode_Check(name.get())) {
            raise_type_mismatch(name.get(), "PyString");
            return -1;
        }
        if (add_public(module, name.get(), function.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "lumenstat",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace lumenstat::py

PyMODINIT_FUNC PyInit_lumenstat() { return PyModuleDef_Init(&lumenstat::py::module_definition); }
