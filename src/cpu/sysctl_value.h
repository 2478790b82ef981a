// Reading one named kernel value through sysctlbyname.
#pragma once

#include <cstdint>
#include <string>

#include "error.h"
#include "os/system.h"

namespace lumenstat {

// A 32-bit value read into a 4-byte buffer.
Result<std::uint32_t> sysctl_u32(os::System& system, const std::string& name);

// A text value: the size is probed first, then fetched; the text ends at the
// first NUL and must be valid UTF-8.
Result<std::string> sysctl_text(os::System& system, const std::string& name);

}  // namespace lumenstat
