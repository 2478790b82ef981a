// One generic way to make the module's result classes: a heap type built
// from a table of read-only attributes, whose instances own their values.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace lumenstat::py {

// The Python-facing value of one attribute. Alternatives in the order of
// AttributeKind.
using FieldValue =
    std::variant<std::uint32_t, std::uint64_t, double, bool, std::string, std::vector<std::string>>;

enum class AttributeKind : std::uint8_t { U32, U64, Float, Bool, Text, TextList };

struct Attribute {
    const char* name;
    AttributeKind kind;
};

// What a class adds beyond read-only attributes (constructor, methods, a
// native object).
struct ClassExtras {
    const char* doc = nullptr;
    newfunc tp_new = nullptr;
    PyMethodDef* methods = nullptr;
    // Bytes of the one native object each instance carries besides its
    // attributes (a tracker's handle, a snapshot); see make_native_instance.
    std::size_t native_size = 0;
    // Getters that read the native object, null-terminated; the class offers
    // them after the getters of its attributes.
    PyGetSetDef* native_getters = nullptr;
};

struct ClassSpec {
    const char* name;  // "PyMemoryInfo"; the type is named "builtins." + name
    std::span<const Attribute> attributes;
    ClassExtras extras{};
};

// The type object of a class, created on first use and kept for the life of
// the process (borrowed). Null with FatalError set if it cannot be made.
PyTypeObject* record_type(const ClassSpec& spec);

namespace detail {

struct RecordHeader {
    PyObject_HEAD std::uint32_t constructed;  // values alive in this instance
    void* native;                             // the native object, when one is alive
    void (*destroy_native)(void*);
};

inline constexpr std::size_t values_offset =
    (sizeof(RecordHeader) + alignof(FieldValue) - 1) / alignof(FieldValue) * alignof(FieldValue);

inline FieldValue* values_of(PyObject* self) {
    return std::launder(
        reinterpret_cast<FieldValue*>(reinterpret_cast<char*>(self) + values_offset));
}

PyObject* allocate(const ClassSpec& spec, std::size_t value_count);
PyObject* check_kinds(PyObject* instance, const ClassSpec& spec);
std::size_t native_offset(const ClassSpec& spec);
PyObject* native_too_large(const ClassSpec& spec);

}  // namespace detail

// A new instance of the class holding `values` (one per attribute, in the
// attribute order). Null with FatalError set on failure.
template <class... Values>
PyObject* make_instance(const ClassSpec& spec, Values&&... values) {
    PyObject* instance = detail::allocate(spec, sizeof...(Values));
    if (instance == nullptr) {
        return nullptr;
    }
    auto* header = reinterpret_cast<detail::RecordHeader*>(instance);
    FieldValue* slot = detail::values_of(instance);
    ((new (slot + header->constructed) FieldValue(std::forward<Values>(values)),
      ++header->constructed),
     ...);
    return detail::check_kinds(instance, spec);
}

// A new instance of a class without attributes that owns a native object,
// moved from `value` only on success, and destroyed with the instance. Null
// with FatalError set on failure.
template <class T>
PyObject* make_native_instance(const ClassSpec& spec, T&& value) {
    static_assert(alignof(std::remove_cvref_t<T>) <= alignof(std::max_align_t));
    if (spec.extras.native_size < sizeof(std::remove_cvref_t<T>)) {
        return detail::native_too_large(spec);
    }
    PyObject* instance = detail::allocate(spec, 0);
    if (instance == nullptr) {
        return nullptr;
    }
    auto* header = reinterpret_cast<detail::RecordHeader*>(instance);
    using Native = std::remove_cvref_t<T>;
    header->native = new (reinterpret_cast<char*>(instance) + detail::native_offset(spec))
        Native(std::move(value));
    header->destroy_native = [](void* native) { static_cast<Native*>(native)->~Native(); };
    return instance;
}

// The native object of an instance made by make_native_instance.
template <class T>
T& native_of(PyObject* self) {
    return *static_cast<T*>(reinterpret_cast<detail::RecordHeader*>(self)->native);
}

// Python str objects of texts, whatever bytes they hold (NULs included).
PyObject* text_to_python(std::string_view text);
PyObject* text_list_to_python(const std::vector<std::string>& items);

}  // namespace lumenstat::py
