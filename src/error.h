// QueryError: the one failure value of every core query, with its display
// and debug text forms, and the operating-system error text.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "text/utf8.h"  // lossy_utf8, is_valid_utf8

namespace lumenstat {

// Discriminants are fixed: they index every text table of the type.
enum class ErrorKind : std::uint8_t {
    Io = 0,
    Parse = 1,
    SysCall = 2,
    NotSupported = 3,
    PermissionDenied = 4,
    ProcessNotFound = 5,
    Netlink = 6,
    WindowsApi = 7,
};

class QueryError {
public:
    static QueryError io(int os_code);
    static QueryError parse(std::string text);
    static QueryError sys_call(std::string text);
    static QueryError not_supported(std::string text);
    static QueryError permission_denied(std::string text);
    static QueryError process_not_found(std::uint32_t pid);
    static QueryError netlink(std::string text);
    static QueryError windows_api(std::string text);

    ErrorKind kind() const { return kind_; }
    // The text payload; empty for Io and ProcessNotFound.
    const std::string& text() const { return text_; }
    std::uint32_t pid() const { return pid_; }
    int os_code() const { return os_code_; }

    // "System call failed: getfsstat failed"
    std::string display() const;
    // SysCall("getfsstat failed"): one line, payload escaped.
    std::string debug() const;

    friend bool operator==(const QueryError&, const QueryError&) = default;

private:
    QueryError(ErrorKind kind, std::string text, std::uint32_t pid, int os_code)
        : kind_(kind), text_(std::move(text)), pid_(pid), os_code_(os_code) {}

    ErrorKind kind_;
    std::string text_;
    std::uint32_t pid_;
    int os_code_;
};

template <class T>
using Result = std::expected<T, QueryError>;

// "No such file or directory (os error 2)"
std::string os_error_text(int os_code);

// The system's description alone: "No such file or directory".
std::string os_error_description(int os_code);

// The category name of an errno value in the debug form of Io: "NotFound",
// "PermissionDenied", ..., "Uncategorized" for the rest.
std::string_view os_error_kind_name(int os_code);

// The text in double quotes with quotes, backslashes, controls, non-printable
// characters and combining marks escaped, so that it always reads as one line.
std::string debug_quoted(std::string_view text);

}  // namespace lumenstat
