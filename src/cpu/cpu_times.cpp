#include "cpu/cpu_times.h"

#include <algorithm>
#include <string>

namespace lumenstat {

namespace {

// Hands the host's info array back to the kernel on every path.
class HostArray {
public:
    HostArray(os::System& system, darwin::integer_t* data, darwin::natural_t count)
        : system_(system), data_(data), count_(count) {}
    HostArray(const HostArray&) = delete;
    HostArray& operator=(const HostArray&) = delete;
    ~HostArray() {
        if (data_ != nullptr) {
            system_.vm_deallocate(data_, std::size_t{count_} * sizeof(darwin::integer_t));
        }
    }

private:
    os::System& system_;
    darwin::integer_t* data_;
    darwin::natural_t count_;
};

}  // namespace

Result<std::vector<CpuTimes>> get_cpu_times(os::System& system) {
    os::QueryScope scope(system);
    darwin::natural_t cpu_count = 0;
    darwin::integer_t* info = nullptr;
    darwin::natural_t info_count = 0;
    const darwin::kern_return_t kr =
        system.host_processor_info(darwin::PROCESSOR_CPU_LOAD_INFO, &cpu_count, &info, &info_count);
    if (kr != darwin::KERN_SUCCESS) {
        return std::unexpected(
            QueryError::sys_call("host_processor_info failed with error " + std::to_string(kr)));
    }
    HostArray release(system, info, info_count);

    // Never trust the count beyond the elements actually handed over.
    const std::size_t usable =
        info == nullptr ? 0
                        : std::min<std::size_t>(cpu_count, info_count / darwin::CPU_STATE_MAX);
    std::vector<CpuTimes> times;
    times.reserve(usable);
    for (std::size_t cpu = 0; cpu < usable; ++cpu) {
        const darwin::integer_t* ticks = info + cpu * darwin::CPU_STATE_MAX;
        const auto widen = [&](int state) {
            return std::uint64_t{static_cast<darwin::natural_t>(ticks[state])};
        };
        times.push_back({
            .user = widen(darwin::CPU_STATE_USER),
            .system = widen(darwin::CPU_STATE_SYSTEM),
            .idle = widen(darwin::CPU_STATE_IDLE),
            .nice = widen(darwin::CPU_STATE_NICE),
            .iowait = 0,
        });
    }
    return times;
}

}  // namespace lumenstat
