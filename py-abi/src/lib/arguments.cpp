#include "arguments.h"

#include <initializer_list>
#include <string>
#include <string_view>

namespace lumenstat::py {
namespace {

std::string quoted_names(const std::vector<const char*>& names) {
    std::string joined;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                joined += " and ";
            } else if (i + 1 == names.size()) {
                joined += ", and ";
            } else {
                joined += ", ";
            }
        }
        joined += '\'';
        joined += names[i];
        joined += '\'';
    }
    return joined;
}

// Joins pieces into one text (also sidesteps a false -Wrestrict of GCC 12 on
// chains of operator+).
std::string concat(std::initializer_list<std::string_view> pieces) {
    std::string text;
    for (std::string_view piece : pieces) {
        text.append(piece);
    }
    return text;
}

void raise_type_error(const std::string& text) {
    PyErr_SetString(PyExc_TypeError, text.c_str());
}

// Places each argument at its parameter's slot. Borrowed references.
bool match(const Signature& sig, PyObject* const* positional, Py_ssize_t nargs,
           PyObject* const* keyword_values, PyObject* kwnames, std::vector<PyObject*>& slots) {
    const std::string_view function = sig.function;
    const auto nparams = static_cast<Py_ssize_t>(sig.params.size());
    slots.assign(sig.params.size(), nullptr);
    for (Py_ssize_t i = 0; i < nargs && i < nparams; ++i) {
        slots[static_cast<std::size_t>(i)] = positional[i];
    }
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        // Compared and quoted as the str it is: a keyword may hold NUL or a
        // lone surrogate, which no UTF-8 copy carries.
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        std::size_t index = 0;
        while (index < sig.params.size() && !PyUnicode_EqualToUTF8(name, sig.params[index].name)) {
            ++index;
        }
        if (index == sig.params.size()) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                         sig.function, name);
            return false;
        }
        if (slots[index] != nullptr) {
            raise_type_error(concat(
                {function, " got multiple values for argument '", sig.params[index].name, "'"}));
            return false;
        }
        slots[index] = keyword_values[k];
    }
    if (nargs > nparams) {
        raise_type_error(concat({function, " takes ", std::to_string(nparams),
                                 " positional arguments but ", std::to_string(nargs),
                                 nargs == 1 ? " was" : " were", " given"}));
        return false;
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i] == nullptr) {
            missing.push_back(sig.params[i].name);
        }
    }
    if (!missing.empty()) {
        raise_type_error(concat({function, " missing ", std::to_string(missing.size()),
                                 " required positional ",
                                 missing.size() == 1 ? "argument: " : "arguments: ",
                                 quoted_names(missing)}));
        return false;
    }
    return true;
}

bool convert_unsigned_64(PyObject* value, std::uint64_t& out) {
    unsigned long long converted;
    if (PyLong_Check(value)) {
        converted = PyLong_AsUnsignedLongLong(value);
    } else {
        PyRef index(PyNumber_Index(value));
        if (!index) {
            return false;
        }
        converted = PyLong_AsUnsignedLongLong(index.get());
    }
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
    }
    out = converted;
    return true;
}

bool convert_pid(PyObject* value, std::uint32_t& out) {
    const long converted = PyLong_AsLong(value);
    if (converted == -1 && PyErr_Occurred()) {
        return false;
    }
    if (converted < 0 || static_cast<unsigned long>(converted) > 0xFFFFFFFFul) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(converted);
    return true;
}

bool convert_text(PyObject* value, std::string& out) {
    if (!PyUnicode_Check(value)) {
        if (value == Py_None) {
            raise_type_error("'None' is not an instance of 'str'");
        } else {
            PyRef name(PyType_GetName(Py_TYPE(value)));
            if (name) {
                PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'str'",
                             name.get());
            }
        }
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) {
        return false;
    }
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

bool convert(const Param& param, PyObject* value, Arguments::Value& out) {
    switch (param.kind) {
        case ParamKind::Pid: {
            std::uint32_t pid = 0;
            if (!convert_pid(value, pid)) return false;
            out = pid;
            return true;
        }
        case ParamKind::SampleDuration:
            if (value == Py_None) {
                out = default_sample_duration_ms;
                return true;
            }
            [[fallthrough]];
        case ParamKind::Inode: {
            std::uint64_t number = 0;
            if (!convert_unsigned_64(value, number)) return false;
            out = number;
            return true;
        }
        case ParamKind::Text: {
            std::string text;
            if (!convert_text(value, text)) return false;
            out = std::move(text);
            return true;
        }
        case ParamKind::Callback:
            out = PyRef(Py_NewRef(value));
            return true;
    }
    return false;
}

// A conversion's TypeError (exactly that type) is re-raised naming the
// argument; other exceptions pass through as the interpreter raised them.
void name_the_argument(const Param& param) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        return;
    }
    PyRef exception(raised);
    if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exception.release());
        return;
    }
    // %S keeps the text whole, NULs and lone surrogates included.
    PyErr_Format(PyExc_TypeError, "argument '%s': %S", param.name, raised);
}

std::optional<Arguments> convert_all(const Signature& sig, const std::vector<PyObject*>& slots) {
    Arguments arguments;
    arguments.values().resize(slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (!convert(sig.params[i], slots[i], arguments.values()[i])) {
            name_the_argument(sig.params[i]);
            return std::nullopt;
        }
    }
    return arguments;
}

}  // namespace

std::optional<Arguments> parse_arguments(const Signature& signature, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames) {
    std::vector<PyObject*> slots;
    const Py_ssize_t positional = PyVectorcall_NARGS(nargs);
    if (!match(signature, args, positional, args + positional, kwnames, slots)) {
        return std::nullopt;
    }
    return convert_all(signature, slots);
}

std::optional<Arguments> parse_arguments(const Signature& signature, PyObject* args,
                                         PyObject* kwargs) {
    std::vector<PyObject*> keyword_values;
    PyRef kwnames;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        kwnames = PyRef(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        if (!kwnames) {
            return std::nullopt;
        }
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        for (Py_ssize_t k = 0; PyDict_Next(kwargs, &position, &key, &value); ++k) {
            PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
            keyword_values.push_back(value);
        }
    }
    std::vector<PyObject*> slots;
    if (!match(signature, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args),
               keyword_values.data(), kwnames.get(), slots)) {
        return std::nullopt;
    }
    return convert_all(signature, slots);
}

}  // namespace lumenstat::py
