#include "process/process_io.h"

namespace lumenstat {

Result<ProcessIoInfo> get_process_io(os::System& system, std::uint32_t pid) {
    os::QueryScope scope(system);
    darwin::rusage_info_v2 usage{};
    if (system.proc_pid_rusage(static_cast<int>(pid), darwin::RUSAGE_INFO_V2, &usage) < 0) {
        return std::unexpected(QueryError::process_not_found(pid));
    }
    return ProcessIoInfo{
        .pid = pid,
        .read_bytes = usage.ri_diskio_bytesread,
        .write_bytes = usage.ri_diskio_byteswritten,
    };
}

}  // namespace lumenstat
