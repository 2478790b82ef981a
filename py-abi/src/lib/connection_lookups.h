// The five connection lookups are module functions and methods of
// PySystemSummary alike, with the same parameters; messages name the method
// "PySystemSummary.get_connection_by_pid()" and the function by the same text
// without its class prefix.
#pragma once

#include <span>
#include <string_view>

#include "arguments.h"

namespace lumenstat::py::lookups {

inline constexpr std::string_view method_prefix = "PySystemSummary.";

class Lookup {
public:
    consteval Lookup(const char* method, std::span<const Param> params)
        : method_(method), params_(params) {
        if (!std::string_view(method).starts_with(method_prefix)) {
            throw "a lookup is named as the method of PySystemSummary";
        }
    }

    constexpr Signature method() const { return {method_, params_}; }
    constexpr Signature function() const { return {method_ + method_prefix.size(), params_}; }

private:
    const char* method_;
    std::span<const Param> params_;
};

inline constexpr Param pid_param[] = {{"pid", ParamKind::Pid}};
inline constexpr Param inode_param[] = {{"inode", ParamKind::Inode}};
inline constexpr Param state_param[] = {{"state", ParamKind::Text}};
inline constexpr Param local_param[] = {{"local_addr", ParamKind::Text}};
inline constexpr Param remote_param[] = {{"remote_addr", ParamKind::Text}};

inline constexpr Lookup by_pid{"PySystemSummary.get_connection_by_pid()", pid_param};
inline constexpr Lookup by_inode{"PySystemSummary.get_connection_by_inode()", inode_param};
inline constexpr Lookup by_state{"PySystemSummary.get_connection_by_state()", state_param};
inline constexpr Lookup by_local{"PySystemSummary.get_connection_by_local_addr()", local_param};
inline constexpr Lookup by_remote{"PySystemSummary.get_connection_by_remote_addr()", remote_param};

}  // namespace lumenstat::py::lookups
