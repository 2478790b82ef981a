// The argument rules shared by every module function: matching positional
// and keyword arguments against the parameter list with interpreter-style
// messages, then converting each value by its parameter's kind.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "py_ref.h"

namespace lumenstat::py {

enum class ParamKind : std::uint8_t {
    Pid,             // unsigned 32-bit process id
    SampleDuration,  // milliseconds; None means 500
    Inode,           // unsigned 64-bit
    Text,            // str, copied as UTF-8
    Callback,        // any object, held by a new reference
};

struct Param {
    const char* name;
    ParamKind kind;
};

struct Signature {
    const char* function;  // as messages name it: "get_process_by_pid()"
    std::span<const Param> params;
};

inline constexpr std::uint64_t default_sample_duration_ms = 500;

// Converted values, one per parameter, in parameter order.
class Arguments {
public:
    using Value = std::variant<std::uint32_t, std::uint64_t, std::string, PyRef>;

    std::uint32_t pid(std::size_t i) const { return std::get<std::uint32_t>(values_[i]); }
    std::uint64_t number(std::size_t i) const { return std::get<std::uint64_t>(values_[i]); }
    const std::string& text(std::size_t i) const { return std::get<std::string>(values_[i]); }
    PyObject* object(std::size_t i) const { return std::get<PyRef>(values_[i]).get(); }

    std::vector<Value>& values() { return values_; }

private:
    std::vector<Value> values_;
};

// Matches and converts a vectorcall argument list; nullopt with the Python
// exception set when an argument is missing, extra, unknown or unconvertible.
std::optional<Arguments> parse_arguments(const Signature& signature, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames);

// The same for a classic (tuple, dict) call, as a constructor receives it.
std::optional<Arguments> parse_arguments(const Signature& signature, PyObject* args,
                                         PyObject* kwargs);

}  // namespace lumenstat::py
