#include "disk/disk_io.h"

#include <optional>
#include <string>
#include <utility>

#include "disk/registry_refs.h"

namespace lumenstat {

namespace {

// The value under `key`, borrowed from `dictionary` (null when absent); the
// key string lives only for the lookup. Nothing when the key cannot be made.
std::optional<const void*> lookup(os::System& sys, darwin::CFDictionaryRef dictionary,
                                  const char* key) {
    CfRef<darwin::CFStringRef> key_string(
        sys, sys.CFStringCreateWithCString(nullptr, key, darwin::kCFStringEncodingUTF8));
    if (!key_string) return std::nullopt;
    return sys.CFDictionaryGetValue(dictionary, key_string.get());
}

// A signed 64-bit counter; absent or negative counts as 0. Nothing when the
// key cannot even be made: the counter is then unknown, not 0.
std::optional<std::uint64_t> counter(os::System& sys, darwin::CFDictionaryRef statistics,
                                     const char* key) {
    std::optional<const void*> value = lookup(sys, statistics, key);
    if (!value || *value == nullptr) return value ? std::optional<std::uint64_t>(0) : std::nullopt;
    std::int64_t number = 0;
    sys.CFNumberGetValue(static_cast<darwin::CFNumberRef>(*value), darwin::kCFNumberSInt64Type,
                         &number);
    return number < 0 ? 0 : static_cast<std::uint64_t>(number);
}

// The counters of one driver, or nothing when it has no statistics or one of
// them cannot be read.
std::optional<DiskIoStats> driver_counters(os::System& sys, darwin::io_object_t service) {
    darwin::CFMutableDictionaryRef raw = nullptr;
    const darwin::kern_return_t status =
        sys.IORegistryEntryCreateCFProperties(service, &raw, nullptr, 0);
    CfRef<darwin::CFDictionaryRef> properties(sys, raw);
    if (status != darwin::KERN_SUCCESS || !properties) return std::nullopt;

    const auto* statistics = static_cast<darwin::CFDictionaryRef>(
        lookup(sys, properties.get(), "Statistics").value_or(nullptr));
    if (statistics == nullptr) return std::nullopt;

    DiskIoStats stats;
    const std::pair<const char*, std::uint64_t DiskIoStats::*> counters[] = {
        {"Bytes (Read)", &DiskIoStats::bytes_read},
        {"Bytes (Write)", &DiskIoStats::bytes_written},
        {"Operations (Read)", &DiskIoStats::reads},
        {"Operations (Write)", &DiskIoStats::writes},
        {"Total Time (Read)", &DiskIoStats::read_time_ms},
        {"Total Time (Write)", &DiskIoStats::write_time_ms},
    };
    for (const auto& [key, field] : counters) {
        std::optional<std::uint64_t> value = counter(sys, statistics, key);
        if (!value) return std::nullopt;
        stats.*field = *value;
    }
    return stats;
}

}  // namespace

Result<std::vector<DiskIoStats>> get_disk_io_stats(os::System& sys) {
    os::QueryScope scope(sys);
    // IOServiceGetMatchingServices consumes the dictionary on every path.
    darwin::CFMutableDictionaryRef matching = sys.IOServiceMatching("IOBlockStorageDriver");
    if (matching == nullptr) {
        return std::unexpected(QueryError::sys_call("IOServiceMatching failed"));
    }
    darwin::io_iterator_t raw_iterator = 0;
    const darwin::kern_return_t status =
        sys.IOServiceGetMatchingServices(0, matching, &raw_iterator);
    IoObject iterator(sys, status == darwin::KERN_SUCCESS ? raw_iterator : 0);
    if (status != darwin::KERN_SUCCESS) {
        return std::unexpected(
            QueryError::sys_call("IOServiceGetMatchingServices failed: " + std::to_string(status)));
    }

    std::vector<DiskIoStats> drivers;
    std::uint32_t produced = 0;
    while (true) {
        IoObject service(sys, sys.IOIteratorNext(iterator.get()));
        if (service.get() == 0) break;
        auto stats = driver_counters(sys, service.get());
        if (!stats) continue;
        // Time alone does not make a driver worth reporting.
        if (stats->bytes_read == 0 && stats->bytes_written == 0 && stats->reads == 0 &&
            stats->writes == 0) {
            continue;
        }
        stats->device = "disk" + std::to_string(produced++);
        drivers.push_back(std::move(*stats));
    }
    return drivers;
}

}  // namespace lumenstat
