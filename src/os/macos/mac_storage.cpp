// File systems, directories and the I/O Registry on macOS: each operation
// forwards to the libSystem, IOKit or CoreFoundation call of the same name.
// Our headers come first: the SDK defines many Darwin names as macros.
// clang-format off
#include "os/macos/mac_system.h"
// clang-format on

#include <dirent.h>
#include <fcntl.h>
#include <mach/mach.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstddef>

#if __has_include(<IOKit/IOKitLib.h>)
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#else
// The SDK used for the cross-check carries no IOKit or CoreFoundation headers:
// the documented C declarations of the calls made here, nothing more.
extern "C" {
typedef const struct __CFString* CFStringRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFDictionary* CFMutableDictionaryRef;
typedef const struct __CFNumber* CFNumberRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const void* CFTypeRef;
typedef std::uint32_t CFStringEncoding;
typedef long CFIndex;
typedef CFIndex CFNumberType;
typedef mach_port_t io_object_t;
typedef io_object_t io_iterator_t;
typedef io_object_t io_registry_entry_t;
typedef std::uint32_t IOOptionBits;

CFMutableDictionaryRef IOServiceMatching(const char* name);
kern_return_t IOServiceGetMatchingServices(mach_port_t mainPort, CFDictionaryRef matching,
                                           io_iterator_t* existing);
io_object_t IOIteratorNext(io_iterator_t iterator);
kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t entry,
                                                CFMutableDictionaryRef* properties,
                                                CFAllocatorRef allocator, IOOptionBits options);
kern_return_t IOObjectRelease(io_object_t object);
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                      CFStringEncoding encoding);
const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key);
unsigned char CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr);
void CFRelease(CFTypeRef cf);
}
#endif

namespace lumenstat::os {

static_assert(sizeof(darwin::statfs) == sizeof(struct ::statfs));
static_assert(sizeof(darwin::dirent) == sizeof(struct ::dirent));
static_assert(sizeof(darwin::stat) == sizeof(struct ::stat));
static_assert(sizeof(darwin::io_object_t) == sizeof(::io_object_t));
#define LUMENSTAT_SAME_FIELD(ours, sdk, field)                                          \
    static_assert(offsetof(ours, field) == offsetof(sdk, field) &&                      \
                      sizeof(ours::field) == sizeof(static_cast<sdk*>(nullptr)->field), \
                  #ours "." #field)
LUMENSTAT_SAME_FIELD(darwin::statfs, struct ::statfs, f_bsize);
LUMENSTAT_SAME_FIELD(darwin::statfs, struct ::statfs, f_blocks);
LUMENSTAT_SAME_FIELD(darwin::statfs, struct ::statfs, f_bfree);
LUMENSTAT_SAME_FIELD(darwin::statfs, struct ::statfs, f_bavail);
LUMENSTAT_SAME_FIELD(darwin::statfs, struct ::statfs, f_fstypename);
LUMENSTAT_SAME_FIELD(darwin::statfs, struct ::statfs, f_mntonname);
LUMENSTAT_SAME_FIELD(darwin::statfs, struct ::statfs, f_mntfromname);
LUMENSTAT_SAME_FIELD(darwin::dirent, struct ::dirent, d_namlen);
LUMENSTAT_SAME_FIELD(darwin::dirent, struct ::dirent, d_name);
LUMENSTAT_SAME_FIELD(darwin::stat, struct ::stat, st_mode);
LUMENSTAT_SAME_FIELD(darwin::stat, struct ::stat, st_size);
#undef LUMENSTAT_SAME_FIELD
static_assert(darwin::kIfmt == S_IFMT && darwin::kIfdir == S_IFDIR);
static_assert(darwin::kMntNowait == MNT_NOWAIT && darwin::kMntWait == MNT_WAIT);
static_assert(darwin::kAtSymlinkNofollow == AT_SYMLINK_NOFOLLOW);

int MacSystem::getfsstat(darwin::statfs* buffer, int bufsize, int mode) {
    return ::getfsstat(reinterpret_cast<struct ::statfs*>(buffer), bufsize, mode);
}

darwin::DIR* MacSystem::opendir(const char* path) {
    return reinterpret_cast<darwin::DIR*>(::opendir(path));
}

int MacSystem::readdir_r(darwin::DIR* dir, darwin::dirent* entry, darwin::dirent** result) {
    return ::readdir_r(reinterpret_cast<::DIR*>(dir), reinterpret_cast<struct ::dirent*>(entry),
                       reinterpret_cast<struct ::dirent**>(result));
}

int MacSystem::dirfd(darwin::DIR* dir) { return ::dirfd(reinterpret_cast<::DIR*>(dir)); }

int MacSystem::fstatat(int fd, const char* path, darwin::stat* buffer, int flag) {
    return ::fstatat(fd, path, reinterpret_cast<struct ::stat*>(buffer), flag);
}

int MacSystem::closedir(darwin::DIR* dir) { return ::closedir(reinterpret_cast<::DIR*>(dir)); }

darwin::CFMutableDictionaryRef MacSystem::IOServiceMatching(const char* name) {
    return reinterpret_cast<darwin::CFMutableDictionaryRef>(::IOServiceMatching(name));
}

darwin::kern_return_t MacSystem::IOServiceGetMatchingServices(darwin::mach_port_t main_port,
                                                              darwin::CFDictionaryRef matching,
                                                              darwin::io_iterator_t* existing) {
    return ::IOServiceGetMatchingServices(main_port, reinterpret_cast<::CFDictionaryRef>(matching),
                                          existing);
}

darwin::io_object_t MacSystem::IOIteratorNext(darwin::io_iterator_t iterator) {
    return ::IOIteratorNext(iterator);
}

darwin::kern_return_t MacSystem::IORegistryEntryCreateCFProperties(
    darwin::io_registry_entry_t entry, darwin::CFMutableDictionaryRef* properties,
    darwin::CFAllocatorRef allocator, darwin::IOOptionBits options) {
    return ::IORegistryEntryCreateCFProperties(
        entry, reinterpret_cast<::CFMutableDictionaryRef*>(properties),
        reinterpret_cast<::CFAllocatorRef>(allocator), options);
}

darwin::kern_return_t MacSystem::IOObjectRelease(darwin::io_object_t object) {
    return ::IOObjectRelease(object);
}

darwin::CFStringRef MacSystem::CFStringCreateWithCString(darwin::CFAllocatorRef allocator,
                                                         const char* text,
                                                         darwin::CFStringEncoding encoding) {
    return reinterpret_cast<darwin::CFStringRef>(
        ::CFStringCreateWithCString(reinterpret_cast<::CFAllocatorRef>(allocator), text, encoding));
}

const void* MacSystem::CFDictionaryGetValue(darwin::CFDictionaryRef dictionary, const void* key) {
    return ::CFDictionaryGetValue(reinterpret_cast<::CFDictionaryRef>(dictionary), key);
}

darwin::Boolean MacSystem::CFNumberGetValue(darwin::CFNumberRef number, darwin::CFNumberType type,
                                            void* value) {
    return ::CFNumberGetValue(reinterpret_cast<::CFNumberRef>(number),
                              static_cast<::CFNumberType>(type), value);
}

void MacSystem::CFRelease(darwin::CFTypeRef object) { ::CFRelease(object); }

}  // namespace lumenstat::os
