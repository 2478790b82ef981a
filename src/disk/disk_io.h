// Cumulative counters of the block-storage drivers, one record per driver
// that has moved data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "error.h"
#include "os/system.h"

namespace lumenstat {

struct DiskIoStats {
    std::string device;  // "disk" + the number of records produced before it
    std::uint64_t reads = 0;
    std::uint64_t writes = 0;
    std::uint64_t bytes_read = 0;
    std::uint64_t bytes_written = 0;
    // Nanoseconds, as the driver counts them, despite the names.
    std::uint64_t read_time_ms = 0;
    std::uint64_t write_time_ms = 0;
};

// In registry order; drivers without statistics or with no operation and no
// byte counted are left out. Fails with SysCall when the registry cannot be
// searched.
Result<std::vector<DiskIoStats>> get_disk_io_stats(os::System& sys);

}  // namespace lumenstat
