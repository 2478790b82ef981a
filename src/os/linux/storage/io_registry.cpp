#include "os/linux/storage/io_registry.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "os/linux/storage/block_stat.h"
#include "os/linux/proc_files.h"
#include "os/linux/unique_dir.h"

namespace lumenstat::os {

namespace {

// IOKit's codes, all of its common subsystem (0xe0000000).
constexpr darwin::kern_return_t io_return_code(std::uint32_t code) {
    return static_cast<darwin::kern_return_t>(0xe0000000u | code);
}
constexpr darwin::kern_return_t kIOReturnError = io_return_code(0x2bc);
constexpr darwin::kern_return_t kIOReturnNoMemory = io_return_code(0x2bd);
constexpr darwin::kern_return_t kIOReturnNoResources = io_return_code(0x2be);
constexpr darwin::kern_return_t kIOReturnBadArgument = io_return_code(0x2c2);
constexpr darwin::kern_return_t kIOReturnIOError = io_return_code(0x2ca);
constexpr darwin::kern_return_t kIOReturnNotPermitted = io_return_code(0x2e2);
constexpr std::string_view kDriverClass = "IOBlockStorageDriver";

// IOKit's code for a failure to read the kernel's tables of block devices.
darwin::kern_return_t io_return(int error) {
    switch (error) {
        case ENOMEM:
            return kIOReturnNoMemory;
        case EMFILE:
        case ENFILE:
            return kIOReturnNoResources;
        case EIO:
            return kIOReturnIOError;
        case EACCES:
        case EPERM:
            return kIOReturnNotPermitted;
        default:
            return kIOReturnError;
    }
}

// The whole block devices into `names`, in name order so that two listings
// number the drivers alike. A machine without /sys/block has none. False
// with errno set when the directory cannot be read.
bool list_block_devices(std::vector<std::string>& names) {
    UniqueDir dir(::opendir("/sys/block"));
    if (!dir) return errno == ENOENT;
    const bool listed = read_entry_names(dir.get(), [&](std::string_view name) {
        if (name != "." && name != "..") names.emplace_back(name);
    });
    std::sort(names.begin(), names.end());
    return listed;
}

// The counters of every device from /proc/diskstats into `counters`; a
// machine without that file has none. False with errno set when it cannot
// be read.
bool read_block_counters(std::map<std::string, block_stat::Counters, std::less<>>& counters) {
    std::string text;
    if (!procfs::read_file("/proc/diskstats", text)) return errno == ENOENT;
    counters = block_stat::parse_table(text);
    return true;
}

// The driver statistics are signed: a counter beyond their range is held at
// the largest value they carry.
std::int64_t as_signed(std::uint64_t value) {
    return static_cast<std::int64_t>(
        std::min<std::uint64_t>(value, std::numeric_limits<std::int64_t>::max()));
}

}  // namespace

IoRegistry::IoRegistry() = default;
IoRegistry::~IoRegistry() = default;

const void* IoRegistry::own(std::unique_ptr<CfObject> object) {
    const void* ref = object.get();
    std::lock_guard lock(mutex_);
    cf_objects_.emplace(ref, std::move(object));
    return ref;
}

// Callers hold mutex_. An object handed out, or one borrowed from inside a
// dictionary handed out; the registry holds a handful at a time.
const IoRegistry::CfObject* IoRegistry::locate(const void* ref) const {
    const auto search = [ref](const CfObject& object, auto& self) -> const CfObject* {
        if (static_cast<const void*>(&object) == ref) return &object;
        if (const auto* entries = std::get_if<CfDictionary>(&object.value)) {
            for (const auto& entry : *entries) {
                if (const CfObject* hit = self(*entry.second, self)) return hit;
            }
        }
        return nullptr;
    };
    for (const auto& entry : cf_objects_) {
        if (const CfObject* hit = search(*entry.second, search)) return hit;
    }
    return nullptr;
}

darwin::io_object_t IoRegistry::new_handle(std::variant<Iterator, Service> entry) {
    std::lock_guard lock(mutex_);
    do {
        ++last_handle_;
    } while (last_handle_ == 0 || io_objects_.contains(last_handle_));
    io_objects_.emplace(last_handle_, std::move(entry));
    return last_handle_;
}

darwin::CFMutableDictionaryRef IoRegistry::service_matching(const char* name) {
    auto matching = std::make_unique<CfObject>();
    CfDictionary dictionary;
    dictionary.emplace("IOProviderClass", std::make_unique<CfObject>(CfObject{std::string(name)}));
    matching->value = std::move(dictionary);
    return static_cast<darwin::CFMutableDictionaryRef>(const_cast<void*>(own(std::move(matching))));
}

darwin::kern_return_t IoRegistry::matching_services(darwin::CFDictionaryRef matching,
                                                    darwin::io_iterator_t* existing) {
    bool drivers = false;
    {
        std::lock_guard lock(mutex_);
        const auto owned = cf_objects_.find(matching);
        if (owned == cf_objects_.end()) return kIOReturnBadArgument;
        const auto* dictionary = std::get_if<CfDictionary>(&owned->second->value);
        if (dictionary != nullptr) {
            const auto found = dictionary->find("IOProviderClass");
            const auto* name = found == dictionary->end()
                                   ? nullptr
                                   : std::get_if<std::string>(&found->second->value);
            drivers = name != nullptr && *name == kDriverClass;
        }
    }
    release(matching);  // consumed, as IOKit does
    Iterator walk;
    if (drivers && !(list_block_devices(walk.devices) && read_block_counters(walk.counters))) {
        *existing = 0;
        return io_return(errno);
    }
    *existing = new_handle(std::move(walk));
    return darwin::KERN_SUCCESS;
}

darwin::io_object_t IoRegistry::iterator_next(darwin::io_iterator_t iterator) {
    Service service;
    {
        std::lock_guard lock(mutex_);
        const auto found = io_objects_.find(iterator);
        if (found == io_objects_.end()) return 0;
        auto* walk = std::get_if<Iterator>(&found->second);
        if (walk == nullptr || walk->next >= walk->devices.size()) return 0;
        const auto counters = walk->counters.find(walk->devices[walk->next++]);
        if (counters != walk->counters.end()) service.counters = counters->second;
    }
    return new_handle(std::move(service));
}

darwin::kern_return_t IoRegistry::create_properties(darwin::io_registry_entry_t entry,
                                                    darwin::CFMutableDictionaryRef* properties) {
    *properties = nullptr;
    std::optional<block_stat::Counters> counters;
    {
        std::lock_guard lock(mutex_);
        const auto found = io_objects_.find(entry);
        if (found == io_objects_.end()) return kIOReturnBadArgument;
        const auto* service = std::get_if<Service>(&found->second);
        if (service == nullptr) return kIOReturnBadArgument;
        counters = service->counters;
    }
    // A device the statistics table does not list has no properties to give.
    if (!counters) return kIOReturnError;

    CfDictionary statistics;
    const auto put = [&](const char* key, std::uint64_t value) {
        statistics.emplace(key, std::make_unique<CfObject>(CfObject{as_signed(value)}));
    };
    put("Bytes (Read)", counters->bytes_read);
    put("Bytes (Write)", counters->bytes_written);
    put("Operations (Read)", counters->reads);
    put("Operations (Write)", counters->writes);
    put("Total Time (Read)", counters->read_time_ns);
    put("Total Time (Write)", counters->write_time_ns);
    CfDictionary top;
    top.emplace("Statistics", std::make_unique<CfObject>(CfObject{std::move(statistics)}));
    auto object = std::make_unique<CfObject>(CfObject{std::move(top)});
    *properties =
        static_cast<darwin::CFMutableDictionaryRef>(const_cast<void*>(own(std::move(object))));
    return darwin::KERN_SUCCESS;
}

darwin::kern_return_t IoRegistry::release_object(darwin::io_object_t object) {
    std::lock_guard lock(mutex_);
    return io_objects_.erase(object) == 1 ? darwin::KERN_SUCCESS : kIOReturnBadArgument;
}

darwin::CFStringRef IoRegistry::create_string(const char* text, darwin::CFStringEncoding encoding) {
    if (text == nullptr || encoding != darwin::kCFStringEncodingUTF8) return nullptr;
    return static_cast<darwin::CFStringRef>(
        own(std::make_unique<CfObject>(CfObject{std::string(text)})));
}

const void* IoRegistry::dictionary_value(darwin::CFDictionaryRef dictionary, const void* key) {
    std::lock_guard lock(mutex_);
    const CfObject* key_object = locate(key);
    const CfObject* holder = locate(dictionary);
    if (key_object == nullptr || holder == nullptr) return nullptr;
    const auto* name = std::get_if<std::string>(&key_object->value);
    const auto* entries = std::get_if<CfDictionary>(&holder->value);
    if (name == nullptr || entries == nullptr) return nullptr;
    const auto found = entries->find(*name);
    return found == entries->end() ? nullptr : found->second.get();
}

darwin::Boolean IoRegistry::number_value(darwin::CFNumberRef number, darwin::CFNumberType type,
                                         void* value) {
    if (type != darwin::kCFNumberSInt64Type) return 0;
    std::lock_guard lock(mutex_);
    const CfObject* object = locate(number);
    const auto* integer = object ? std::get_if<std::int64_t>(&object->value) : nullptr;
    if (integer == nullptr) return 0;
    *static_cast<std::int64_t*>(value) = *integer;
    return 1;
}

void IoRegistry::release(darwin::CFTypeRef object) {
    std::unique_ptr<CfObject> doomed;
    std::lock_guard lock(mutex_);
    const auto found = cf_objects_.find(object);
    if (found == cf_objects_.end()) return;
    doomed = std::move(found->second);
    cf_objects_.erase(found);
}

std::size_t IoRegistry::live_objects() const {
    std::lock_guard lock(mutex_);
    return cf_objects_.size() + io_objects_.size();
}

}  // namespace lumenstat::os
