#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "os/darwin.h"
#include "never_destroyed.h"
#include "os/linux/linux_system.h"

namespace lumenstat::os {

System& native() {
    static NeverDestroyed<LinuxSystem> system;
    return system.get();
}

// Darwin numbers its sysconf names differently from Linux: translate the
// ones the core asks for.
long LinuxSystem::sysconf(int name) {
    switch (name) {
        case darwin::SC_PAGESIZE:
            return ::sysconf(_SC_PAGESIZE);
        default:
            errno = EINVAL;
            return -1;
    }
}

const char* LinuxSystem::getenv(const char* name) { return ::getenv(name); }

std::uint64_t LinuxSystem::monotonic_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace lumenstat::os
