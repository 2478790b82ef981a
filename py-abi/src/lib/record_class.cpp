#include "record_class.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "errors.h"
#include "once.h"

namespace lumenstat::py {
namespace {

using detail::RecordHeader;
using detail::values_of;

PyObject* to_python(const FieldValue& value) {
    struct Convert {
        PyObject* operator()(std::uint32_t v) const {
            return PyLong_FromLong(static_cast<long>(v));
        }
        PyObject* operator()(std::uint64_t v) const { return PyLong_FromUnsignedLongLong(v); }
        PyObject* operator()(double v) const { return PyFloat_FromDouble(v); }
        PyObject* operator()(bool v) const { return Py_NewRef(v ? Py_True : Py_False); }
        PyObject* operator()(const std::string& v) const { return text_to_python(v); }
        PyObject* operator()(const std::vector<std::string>& items) const {
            return text_list_to_python(items);
        }
    };
    return std::visit(Convert{}, value);
}

PyObject* get_attribute(PyObject* self, void* closure) {
    const auto index = reinterpret_cast<std::uintptr_t>(closure);
    PyObject* result = to_python(values_of(self)[index]);
    return result != nullptr ? result : escalate_to_fatal("cannot build an attribute value");
}

void dealloc_record(PyObject* self) {
    auto* header = reinterpret_cast<RecordHeader*>(self);
    FieldValue* values = values_of(self);
    for (std::uint32_t i = 0; i < header->constructed; ++i) {
        values[i].~FieldValue();
    }
    if (header->native != nullptr) {
        header->destroy_native(header->native);
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Everything PyType_FromSpec keeps pointers to must outlive the type.
struct TypeStorage {
    std::string qualified_name;
    std::vector<PyGetSetDef> getters;
    std::vector<PyType_Slot> slots;
    PyType_Spec spec;
};

PyObject* create_type(const ClassSpec& spec) {
    static std::mutex storage_mutex;
    static std::deque<TypeStorage> storage;
    TypeStorage* kept;
    {
        std::lock_guard lock(storage_mutex);
        kept = &storage.emplace_back();
    }
    kept->qualified_name = std::string("builtins.") + spec.name;
    for (std::size_t i = 0; i < spec.attributes.size(); ++i) {
        kept->getters.push_back(PyGetSetDef{spec.attributes[i].name, get_attribute, nullptr,
                                            nullptr, reinterpret_cast<void*>(i)});
    }
    for (const PyGetSetDef* native = spec.extras.native_getters;
         native != nullptr && native->name != nullptr; ++native) {
        kept->getters.push_back(*native);
    }
    kept->getters.push_back(PyGetSetDef{});
    kept->slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record)});
    kept->slots.push_back({Py_tp_getset, kept->getters.data()});
    unsigned long flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    if (spec.extras.doc != nullptr) {
        kept->slots.push_back({Py_tp_doc, const_cast<char*>(spec.extras.doc)});
    }
    if (spec.extras.methods != nullptr) {
        kept->slots.push_back({Py_tp_methods, spec.extras.methods});
    }
    if (spec.extras.tp_new != nullptr) {
        kept->slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.extras.tp_new)});
    } else {
        flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    }
    kept->slots.push_back({0, nullptr});
    const std::size_t basicsize = detail::native_offset(spec) + spec.extras.native_size;
    kept->spec = PyType_Spec{kept->qualified_name.c_str(), static_cast<int>(basicsize), 0,
                             static_cast<unsigned int>(flags), kept->slots.data()};
    return PyType_FromSpec(&kept->spec);
}

// One slot per class spec; specs are static objects, so their addresses are
// stable keys.
OnceObject& once_for(const ClassSpec& spec) {
    static std::mutex registry_mutex;
    static std::deque<std::pair<const ClassSpec*, OnceObject>> registry;
    std::lock_guard lock(registry_mutex);
    for (auto& [key, once] : registry) {
        if (key == &spec) {
            return once;
        }
    }
    return registry
        .emplace_back(std::piecewise_construct, std::forward_as_tuple(&spec),
                      std::forward_as_tuple())
        .second;
}

}  // namespace

PyTypeObject* record_type(const ClassSpec& spec) {
    PyObject* type = once_for(spec).get([&spec] { return create_type(spec); });
    if (type == nullptr) {
        escalate_to_fatal(std::string("cannot create the class ") + spec.name);
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

namespace detail {

PyObject* allocate(const ClassSpec& spec, std::size_t value_count) {
    if (value_count != spec.attributes.size()) {
        return raise_fatal(std::string("wrong number of values for ") + spec.name);
    }
    PyTypeObject* type = record_type(spec);
    if (type == nullptr) {
        return nullptr;
    }
    PyObject* instance = type->tp_alloc(type, 0);
    if (instance == nullptr) {
        return escalate_to_fatal(std::string("cannot allocate a ") + spec.name);
    }
    auto* header = reinterpret_cast<RecordHeader*>(instance);
    header->constructed = 0;
    header->native = nullptr;
    header->destroy_native = nullptr;
    return instance;
}

PyObject* native_too_large(const ClassSpec& spec) {
    return raise_fatal(std::string("no room for the native object of ") + spec.name);
}

std::size_t native_offset(const ClassSpec& spec) {
    const std::size_t end = values_offset + spec.attributes.size() * sizeof(FieldValue);
    constexpr std::size_t align = alignof(std::max_align_t);
    return (end + align - 1) / align * align;
}

PyObject* check_kinds(PyObject* instance, const ClassSpec& spec) {
    const FieldValue* values = values_of(instance);
    for (std::size_t i = 0; i < spec.attributes.size(); ++i) {
        if (values[i].index() != static_cast<std::size_t>(spec.attributes[i].kind)) {
            Py_DECREF(instance);
            return raise_fatal(std::string("wrong value kind for ") + spec.name + "." +
                               spec.attributes[i].name);
        }
    }
    return instance;
}

}  // namespace detail
PyObject* text_to_python(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* text_list_to_python(const std::vector<std::string>& items) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (list == nullptr) {
        return nullptr;
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = text_to_python(items[i]);
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

}  // namespace lumenstat::py
