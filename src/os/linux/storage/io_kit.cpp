// The IOKit and CoreFoundation calls of the block-storage statistics, answered
// by the personality's registry of /sys/block.
#include "os/linux/linux_system.h"

namespace lumenstat::os {

darwin::CFMutableDictionaryRef LinuxSystem::IOServiceMatching(const char* name) {
    return registry_.service_matching(name);
}

darwin::kern_return_t LinuxSystem::IOServiceGetMatchingServices(darwin::mach_port_t,
                                                                darwin::CFDictionaryRef matching,
                                                                darwin::io_iterator_t* existing) {
    return registry_.matching_services(matching, existing);
}

darwin::io_object_t LinuxSystem::IOIteratorNext(darwin::io_iterator_t iterator) {
    return registry_.iterator_next(iterator);
}

darwin::kern_return_t LinuxSystem::IORegistryEntryCreateCFProperties(
    darwin::io_registry_entry_t entry, darwin::CFMutableDictionaryRef* properties,
    darwin::CFAllocatorRef, darwin::IOOptionBits) {
    return registry_.create_properties(entry, properties);
}

darwin::kern_return_t LinuxSystem::IOObjectRelease(darwin::io_object_t object) {
    return registry_.release_object(object);
}

darwin::CFStringRef LinuxSystem::CFStringCreateWithCString(darwin::CFAllocatorRef, const char* text,
                                                           darwin::CFStringEncoding encoding) {
    return registry_.create_string(text, encoding);
}

const void* LinuxSystem::CFDictionaryGetValue(darwin::CFDictionaryRef dictionary, const void* key) {
    return registry_.dictionary_value(dictionary, key);
}

darwin::Boolean LinuxSystem::CFNumberGetValue(darwin::CFNumberRef number, darwin::CFNumberType type,
                                              void* value) {
    return registry_.number_value(number, type, value);
}

void LinuxSystem::CFRelease(darwin::CFTypeRef object) { registry_.release(object); }

}  // namespace lumenstat::os
