#include <cerrno>
#include <cstring>

#include "os/darwin.h"
#include "os/linux/linux_system.h"
#include "os/linux/sysctl_handlers.h"

namespace lumenstat::os {

namespace procfs {

int copy_out(const void* value, std::size_t size, void* oldp, std::size_t* oldlenp) {
    if (oldp == nullptr) {
        *oldlenp = size;
        return 0;
    }
    std::size_t n = size < *oldlenp ? size : *oldlenp;
    std::memcpy(oldp, value, n);
    *oldlenp = n;
    if (n < size) {
        errno = ENOMEM;
        return -1;
    }
    return 0;
}

}  // namespace procfs

namespace {

constexpr unsigned max_name_length = 12;  // CTL_MAXNAME

int fail(int error) {
    errno = error;
    return -1;
}

}  // namespace

// Unknown names fail with ENOENT and unknown process-table selections with
// EINVAL, as Darwin's kernel does; every value answered here is read-only.
int LinuxSystem::sysctl(const int* name, unsigned namelen, void* oldp, std::size_t* oldlenp,
                        const void* newp, std::size_t newlen) {
    if (name == nullptr || namelen < 2 || namelen > max_name_length || oldlenp == nullptr) {
        return fail(EINVAL);
    }
    if (newp != nullptr || newlen != 0) {
        return fail(EPERM);
    }
    if (name[0] == darwin::CTL_KERN && name[1] == darwin::KERN_PROC) {
        if (namelen < 3 || name[2] != darwin::KERN_PROC_ALL) {
            return fail(EINVAL);
        }
        return procfs::kern_proc_all(oldp, oldlenp);
    }
    if (name[0] == darwin::CTL_KERN && name[1] == darwin::KERN_PROCARGS2) {
        if (namelen != 3) {
            return fail(EINVAL);
        }
        return procfs::kern_procargs2(name[2], oldp, oldlenp);
    }
    if (name[0] == darwin::CTL_HW && name[1] == darwin::HW_MEMSIZE && namelen == 2) {
        return procfs::hw_memsize(oldp, oldlenp);
    }
    return fail(ENOENT);
}

}  // namespace lumenstat::os
