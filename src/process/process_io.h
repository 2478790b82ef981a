// Cumulative disk I/O counters of one process.
#pragma once

#include <cstdint>

#include "error.h"
#include "os/system.h"

namespace lumenstat {

// The host counts only disk bytes; the character and operation counts stay 0.
struct ProcessIoInfo {
    std::uint32_t pid = 0;
    std::uint64_t read_bytes = 0;
    std::uint64_t write_bytes = 0;
    std::uint64_t read_chars = 0;
    std::uint64_t write_chars = 0;
    std::uint64_t read_ops = 0;
    std::uint64_t write_ops = 0;
};

// A process that does not exist, or that the kernel will not describe to the
// caller, is ProcessNotFound.
Result<ProcessIoInfo> get_process_io(os::System& system, std::uint32_t pid);

}  // namespace lumenstat
