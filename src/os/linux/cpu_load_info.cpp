// host_processor_info(PROCESSOR_CPU_LOAD_INFO) from /proc/stat, and the
// vm_deallocate that returns its array. Arrays handed out are owned by a
// registry until vm_deallocate takes them back, so an address that was never
// handed out is refused rather than freed.
#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "os/linux/cpu_read.h"
#include "os/linux/linux_system.h"

namespace lumenstat::os {

namespace {

constexpr darwin::kern_return_t KERN_INVALID_ADDRESS = 1;
constexpr darwin::kern_return_t KERN_INVALID_ARGUMENT = 4;
constexpr darwin::kern_return_t KERN_FAILURE = 5;

// Columns of a "cpuN" line, in the kernel's order.
enum Column { User, Nice, System, Idle, Iowait, Irq, Softirq, Steal, ColumnCount };

using Ticks = std::array<std::uint64_t, darwin::CPU_STATE_MAX>;

// Folds the Linux columns into the four Darwin states so that busy time is
// everything but idle and iowait, over a total that leaves out guest time
// (already counted in user and nice): the same figure Linux's own per-CPU
// usage tools report. irq, softirq and steal are kernel-side time, so they
// join system; iowait is a CPU waiting with nothing to run, so it joins idle.
Ticks fold(const std::uint64_t (&c)[ColumnCount]) {
    Ticks ticks{};
    ticks[darwin::CPU_STATE_USER] = c[User];
    ticks[darwin::CPU_STATE_NICE] = c[Nice];
    ticks[darwin::CPU_STATE_SYSTEM] = c[System] + c[Irq] + c[Softirq] + c[Steal];
    ticks[darwin::CPU_STATE_IDLE] = c[Idle] + c[Iowait];
    return ticks;
}

// One Ticks per "cpuN" line, in file order (the kernel lists online CPUs in
// ascending order). False when a cpu line is malformed.
bool parse_proc_stat(std::string_view text, std::vector<Ticks>& cpus) {
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
        if (!line.starts_with("cpu")) break;
        line.remove_prefix(3);
        if (line.empty() || line.front() < '0' || line.front() > '9') continue;  // the "cpu" total
        while (!line.empty() && line.front() >= '0' && line.front() <= '9') line.remove_prefix(1);

        std::uint64_t columns[ColumnCount] = {};
        for (int column = 0; column < ColumnCount; ++column) {
            while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
            if (line.empty()) {
                if (column <= Idle) return false;  // older kernels stop after idle
                break;
            }
            std::uint64_t value = 0;
            bool digits = false;
            while (!line.empty() && line.front() >= '0' && line.front() <= '9') {
                value = value * 10 + static_cast<std::uint64_t>(line.front() - '0');
                line.remove_prefix(1);
                digits = true;
            }
            if (!digits) return false;
            columns[column] = value;
        }
        cpus.push_back(fold(columns));
    }
    return true;
}

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
    static Arrays registry;
    return registry;
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
    const bool read = linux_cpu::read_text("/proc/stat", text, [](std::string_view so_far) {
        return so_far.find("\nintr") != std::string_view::npos;
    });
    std::vector<Ticks> cpus;
    if (!read || !parse_proc_stat(text, cpus) || cpus.empty()) return KERN_FAILURE;

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
