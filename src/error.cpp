#include "error.h"

#include <cerrno>
#include <cstring>

#include "unicode/debug_escape.h"

namespace lumenstat {

namespace {

// Indexed by ErrorKind.
constexpr std::string_view kKindNames[] = {
    "Io",      "Parse",      "SysCall", "NotSupported", "PermissionDenied", "ProcessNotFound",
    "Netlink", "WindowsApi",
};
constexpr std::string_view kDisplayPrefixes[] = {
    "IO error: ",           "Parse error: ",
    "System call failed: ", "Not supported on this platform: ",
    "Permission denied: ",  "Process not found: pid ",
    "Netlink error: ",      "Windows API error: ",
};

std::size_t index_of(ErrorKind kind) { return static_cast<std::size_t>(kind); }

constexpr std::size_t kStrerrorBuffer = 128;

// strerror_r comes in two shapes: the XSI one (macOS, and glibc without
// _GNU_SOURCE) returns a status and fills the buffer; the GNU one returns the
// message, which may be a static string rather than the buffer.
[[maybe_unused]] const char* strerror_message(int status, const char* buffer) {
    return (status == 0 || buffer[0] != '\0') ? buffer : nullptr;
}
[[maybe_unused]] const char* strerror_message(const char* message, const char*) { return message; }

void append_code_point_escape(std::string& out, char32_t cp) {
    constexpr char kHex[] = "0123456789abcdef";
    out += "\\u{";
    int shift = 28;
    while (shift > 0 && ((cp >> shift) & 0xF) == 0) shift -= 4;
    for (; shift >= 0; shift -= 4) out.push_back(kHex[(cp >> shift) & 0xF]);
    out.push_back('}');
}

}  // namespace

QueryError QueryError::io(int os_code) { return QueryError(ErrorKind::Io, {}, 0, os_code); }
QueryError QueryError::parse(std::string text) {
    return QueryError(ErrorKind::Parse, std::move(text), 0, 0);
}
QueryError QueryError::sys_call(std::string text) {
    return QueryError(ErrorKind::SysCall, std::move(text), 0, 0);
}
QueryError QueryError::not_supported(std::string text) {
    return QueryError(ErrorKind::NotSupported, std::move(text), 0, 0);
}
QueryError QueryError::permission_denied(std::string text) {
    return QueryError(ErrorKind::PermissionDenied, std::move(text), 0, 0);
}
QueryError QueryError::process_not_found(std::uint32_t pid) {
    return QueryError(ErrorKind::ProcessNotFound, {}, pid, 0);
}
QueryError QueryError::netlink(std::string text) {
    return QueryError(ErrorKind::Netlink, std::move(text), 0, 0);
}
QueryError QueryError::windows_api(std::string text) {
    return QueryError(ErrorKind::WindowsApi, std::move(text), 0, 0);
}

std::string QueryError::display() const {
    std::string out(kDisplayPrefixes[index_of(kind_)]);
    switch (kind_) {
        case ErrorKind::Io:
            out += os_error_text(os_code_);
            break;
        case ErrorKind::ProcessNotFound:
            out += std::to_string(pid_);
            break;
        default:
            out += text_;
            break;
    }
    return out;
}

std::string QueryError::debug() const {
    std::string out(kKindNames[index_of(kind_)]);
    out.push_back('(');
    switch (kind_) {
        case ErrorKind::Io:
            out += "Os { code: ";
            out += std::to_string(os_code_);
            out += ", kind: ";
            out += os_error_kind_name(os_code_);
            out += ", message: ";
            out += debug_quoted(os_error_description(os_code_));
            out += " }";
            break;
        case ErrorKind::ProcessNotFound:
            out += std::to_string(pid_);
            break;
        default:
            out += debug_quoted(text_);
            break;
    }
    out.push_back(')');
    return out;
}

std::string os_error_description(int os_code) {
    char buffer[kStrerrorBuffer] = {};
    const char* message = strerror_message(strerror_r(os_code, buffer, sizeof buffer), buffer);
    if (message == nullptr) return "Unknown error " + std::to_string(os_code);
    // A message cut at the buffer's end may end inside a multi-byte character.
    return lossy_utf8(std::string_view(message, strnlen(message, kStrerrorBuffer - 1)));
}

std::string os_error_text(int os_code) {
    return os_error_description(os_code) + " (os error " + std::to_string(os_code) + ")";
}

std::string_view os_error_kind_name(int os_code) {
    switch (os_code) {
        case EPERM:
        case EACCES:
            return "PermissionDenied";
        case ENOENT:
            return "NotFound";
        case EINTR:
            return "Interrupted";
        case E2BIG:
            return "ArgumentListTooLong";
        case EAGAIN:
            return "WouldBlock";
        case ENOMEM:
            return "OutOfMemory";
        case EBUSY:
            return "ResourceBusy";
        case EEXIST:
            return "AlreadyExists";
        case EXDEV:
            return "CrossesDevices";
        case ENOTDIR:
            return "NotADirectory";
        case EISDIR:
            return "IsADirectory";
        case EINVAL:
            return "InvalidInput";
        case ETXTBSY:
            return "ExecutableFileBusy";
        case EFBIG:
            return "FileTooLarge";
        case ENOSPC:
            return "StorageFull";
        case ESPIPE:
            return "NotSeekable";
        case EROFS:
            return "ReadOnlyFilesystem";
        case EMLINK:
            return "TooManyLinks";
        case EPIPE:
            return "BrokenPipe";
        case EDEADLK:
            return "Deadlock";
        case ENAMETOOLONG:
            return "InvalidFilename";
        case ENOSYS:
            return "Unsupported";
        case ENOTEMPTY:
            return "DirectoryNotEmpty";
        case ELOOP:
            return "FilesystemLoop";
        case EADDRINUSE:
            return "AddrInUse";
        case EADDRNOTAVAIL:
            return "AddrNotAvailable";
        case ENETDOWN:
            return "NetworkDown";
        case ENETUNREACH:
            return "NetworkUnreachable";
        case ECONNABORTED:
            return "ConnectionAborted";
        case ECONNRESET:
            return "ConnectionReset";
        case ENOTCONN:
            return "NotConnected";
        case ETIMEDOUT:
            return "TimedOut";
        case ECONNREFUSED:
            return "ConnectionRefused";
        case EHOSTUNREACH:
            return "HostUnreachable";
        case EINPROGRESS:
            return "InProgress";
        case ESTALE:
            return "StaleNetworkFileHandle";
        case EDQUOT:
            return "FilesystemQuotaExceeded";
        default:
            return "Uncategorized";
    }
}

std::string debug_quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto byte = static_cast<unsigned char>(text[pos]);
        if (byte < 0x80) {
            ++pos;
            switch (byte) {
                case '"':
                    out += "\\\"";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\0':
                    out += "\\0";
                    break;
                default:
                    if (escaped_in_debug(byte)) {
                        append_code_point_escape(out, byte);
                    } else {
                        out.push_back(static_cast<char>(byte));
                    }
                    break;
            }
            continue;
        }
        const Utf8Step step = decode_utf8_step(text, pos);
        if (escaped_in_debug(step.code_point)) {
            append_code_point_escape(out, step.code_point);
        } else if (step.valid) {
            out.append(text.substr(pos, step.length));
        } else {
            append_utf8(out, kReplacementCharacter);
        }
        pos += step.length;
    }
    out.push_back('"');
    return out;
}

}  // namespace lumenstat
