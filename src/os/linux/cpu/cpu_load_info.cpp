// host_processor_info(PROCESSOR_CPU_LOAD_INFO) from /proc/stat, and the
// vm_deallocate that returns its array. Arrays handed out are owned by a
// registry until vm_deallocate takes them back, so an address that was never
// handed out is refused rather than freed.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "never_destroyed.h"
#include "os/linux/cpu/cpu_parse.h"
#include "os/linux/linux_system.h"
#include "os/linux/proc_files.h"

namespace lumenstat::os {

namespace {

constexpr darwin::kern_return_t KERN_INVALID_ADDRESS = 1;
constexpr darwin::kern_return_t KERN_INVALID_ARGUMENT = 4;
constexpr darwin::kern_return_t KERN_FAILURE = 5;

class Arrays {
public:
    darwin::integer_t* keep(std::unique_ptr<darwin::integer_t[]> array) {
        darwin::integer_t* address = array.get();
        const std::lock_guard lock(mutex_);
        held_.push_back(std::move(array));
        return address;
    }

    bool release(const void* address) {
        std::unique_ptr<darwin::integer_t[]> freed;
        const std::lock_guard lock(mutex_);
        const auto it = std::find_if(held_.begin(), held_.end(),
                                     [&](const auto& array) { return array.get() == address; });
        if (it == held_.end()) return false;
        freed = std::move(*it);
        held_.erase(it);
        return true;
    }

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<darwin::integer_t[]>> held_;
};

Arrays& arrays() {
    static NeverDestroyed<Arrays> registry;
    return registry.get();
}

}  // namespace

darwin::kern_return_t LinuxSystem::host_processor_info(int flavor, darwin::natural_t* cpu_count,
                                                       darwin::integer_t** info,
                                                       darwin::natural_t* info_count) {
    if (flavor != darwin::PROCESSOR_CPU_LOAD_INFO || cpu_count == nullptr || info == nullptr ||
        info_count == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    std::string text;
    const bool read = procfs::read_file("/proc/stat", text, 0, procfs::ShortRead::ends_file);
    std::vector<linux_cpu::Ticks> cpus;
    if (!read || !linux_cpu::parse_proc_stat_cpus(text, cpus) || cpus.empty()) return KERN_FAILURE;

    const std::size_t elements = cpus.size() * darwin::CPU_STATE_MAX;
    auto array = std::make_unique_for_overwrite<darwin::integer_t[]>(elements);
    for (std::size_t cpu = 0; cpu < cpus.size(); ++cpu) {
        for (int state = 0; state < darwin::CPU_STATE_MAX; ++state) {
            // Mach keeps 32-bit counters that wrap; keep the low 32 bits.
            array[cpu * darwin::CPU_STATE_MAX + state] = static_cast<darwin::integer_t>(
                static_cast<darwin::natural_t>(cpus[cpu][state]));
        }
    }
    *cpu_count = static_cast<darwin::natural_t>(cpus.size());
    *info = arrays().keep(std::move(array));
    *info_count = static_cast<darwin::natural_t>(elements);
    return darwin::KERN_SUCCESS;
}

darwin::kern_return_t LinuxSystem::vm_deallocate(void* address, std::size_t size) {
    if (size == 0) return darwin::KERN_SUCCESS;
    return arrays().release(address) ? darwin::KERN_SUCCESS : KERN_INVALID_ADDRESS;
}

}  // namespace lumenstat::os
