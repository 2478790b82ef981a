// The I/O Registry and CoreFoundation objects of the block-storage statistics,
// as the Linux personality answers them: one IOBlockStorageDriver service per
// whole block device in /sys/block, in name order, whose properties hold a
// "Statistics" dictionary. The counters are those of /sys/block/NAME/stat,
// taken for all devices from one read of /proc/diskstats when the services are
// matched (one file instead of one per device), and they live in the iterator
// and its services, which the caller releases. Matching fails, with IOKit's
// code for what went wrong, when either cannot be read; only a machine without
// them has no drivers. Objects live until released; a released or unknown
// object is never looked into.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "os/darwin.h"
#include "os/darwin_storage.h"
#include "os/linux/storage/block_stat.h"

namespace lumenstat::os {

class IoRegistry {
public:
    IoRegistry();
    ~IoRegistry();

    darwin::CFMutableDictionaryRef service_matching(const char* name);
    darwin::kern_return_t matching_services(darwin::CFDictionaryRef matching,
                                            darwin::io_iterator_t* existing);
    darwin::io_object_t iterator_next(darwin::io_iterator_t iterator);
    darwin::kern_return_t create_properties(darwin::io_registry_entry_t entry,
                                            darwin::CFMutableDictionaryRef* properties);
    darwin::kern_return_t release_object(darwin::io_object_t object);

    darwin::CFStringRef create_string(const char* text, darwin::CFStringEncoding encoding);
    const void* dictionary_value(darwin::CFDictionaryRef dictionary, const void* key);
    darwin::Boolean number_value(darwin::CFNumberRef number, darwin::CFNumberType type,
                                 void* value);
    void release(darwin::CFTypeRef object);

    // Objects created and not yet released, of both kinds.
    std::size_t live_objects() const;

private:
    struct CfObject;
    using CfDictionary = std::map<std::string, std::unique_ptr<CfObject>, std::less<>>;
    struct CfObject {
        std::variant<std::string, std::int64_t, CfDictionary> value;
    };
    struct Iterator {
        std::vector<std::string> devices;
        std::map<std::string, block_stat::Counters, std::less<>> counters;
        std::size_t next = 0;
    };
    struct Service {
        std::optional<block_stat::Counters> counters;
    };

    const void* own(std::unique_ptr<CfObject> object);
    const CfObject* locate(const void* ref) const;
    darwin::io_object_t new_handle(std::variant<Iterator, Service> entry);

    mutable std::mutex mutex_;
    std::map<const void*, std::unique_ptr<CfObject>> cf_objects_;
    std::map<darwin::io_object_t, std::variant<Iterator, Service>> io_objects_;
    darwin::io_object_t last_handle_ = 0;
};

}  // namespace lumenstat::os
