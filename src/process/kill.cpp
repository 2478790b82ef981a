#include "process/kill.h"

#include <cerrno>
#include <csignal>
#include <limits>
#include <string>

namespace lumenstat {

Result<void> kill_process(os::System& system, std::uint32_t pid) {
    if (pid == 0 || pid > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
        return std::unexpected(QueryError::process_not_found(pid));
    }
    os::QueryScope scope(system);
    if (system.kill(static_cast<int>(pid), SIGKILL) == 0) return {};
    const int code = errno;
    const std::string number = std::to_string(pid);
    switch (code) {
        case EPERM:
            return std::unexpected(QueryError::permission_denied("kill pid " + number));
        case ESRCH:
            return std::unexpected(QueryError::process_not_found(pid));
        default:
            return std::unexpected(
                QueryError::sys_call("kill(" + number + ") failed: " + os_error_text(code)));
    }
}

}  // namespace lumenstat
