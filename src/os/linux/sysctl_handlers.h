// The sysctl names the Darwin personality answers, one function each, and
// Darwin's rule for handing a value out.
#pragma once

#include <cstddef>

namespace lumenstat::os::procfs {

// Darwin's output rule: with no buffer, *oldlenp becomes the size of the
// value; otherwise as much as fits is copied, *oldlenp becomes the bytes
// copied, and a value that did not fit fails with ENOMEM.
int copy_out(const void* value, std::size_t size, void* oldp, std::size_t* oldlenp);

// {CTL_KERN, KERN_PROC, KERN_PROC_ALL}
int kern_proc_all(void* oldp, std::size_t* oldlenp);
// {CTL_KERN, KERN_PROCARGS2, pid}
int kern_procargs2(int pid, void* oldp, std::size_t* oldlenp);
// {CTL_HW, HW_MEMSIZE}
int hw_memsize(void* oldp, std::size_t* oldlenp);

}  // namespace lumenstat::os::procfs
