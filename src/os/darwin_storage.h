// Darwin declarations for storage: the 64-bit-inode struct statfs, struct
// dirent and struct stat, the getfsstat and fstatat constants, and the IOKit
// and CoreFoundation types the block-storage statistics pass around. Sizes and
// offsets are asserted here and against the SDK (macos/storage_layout_check.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumenstat::darwin {

// Darwin's MNT_WAIT, MNT_NOWAIT, AT_SYMLINK_NOFOLLOW, S_IFMT, S_IFDIR,
// MFSTYPENAMELEN and MAXPATHLEN, under names that no system header defines
// as macros.
inline constexpr int kMntWait = 1;
inline constexpr int kMntNowait = 2;
inline constexpr int kAtSymlinkNofollow = 0x20;
inline constexpr std::uint16_t kIfmt = 0170000;
inline constexpr std::uint16_t kIfdir = 0040000;
inline constexpr std::size_t kFsTypeNameLength = 16;
inline constexpr std::size_t kMaxPathLength = 1024;

struct fsid_t {
    std::int32_t val[2];
};

struct statfs {
    std::uint32_t f_bsize;  // fundamental block size
    std::int32_t f_iosize;  // optimal transfer size
    std::uint64_t f_blocks;
    std::uint64_t f_bfree;
    std::uint64_t f_bavail;
    std::uint64_t f_files;
    std::uint64_t f_ffree;
    fsid_t f_fsid;
    std::uint32_t f_owner;
    std::uint32_t f_type;
    std::uint32_t f_flags;
    std::uint32_t f_fssubtype;
    char f_fstypename[kFsTypeNameLength];
    char f_mntonname[kMaxPathLength];
    char f_mntfromname[kMaxPathLength];
    std::uint32_t f_flags_ext;
    std::uint32_t f_reserved[7];
};

struct dirent {
    std::uint64_t d_ino;
    std::uint64_t d_seekoff;
    std::uint16_t d_reclen;
    std::uint16_t d_namlen;
    std::uint8_t d_type;
    char d_name[kMaxPathLength];
};

struct timespec64 {
    std::int64_t tv_sec;
    std::int64_t tv_nsec;
};

struct stat {
    std::int32_t st_dev;
    std::uint16_t st_mode;
    std::uint16_t st_nlink;
    std::uint64_t st_ino;
    std::uint32_t st_uid;
    std::uint32_t st_gid;
    std::int32_t st_rdev;
    timespec64 st_atimespec;
    timespec64 st_mtimespec;
    timespec64 st_ctimespec;
    timespec64 st_birthtimespec;
    std::int64_t st_size;
    std::int64_t st_blocks;
    std::int32_t st_blksize;
    std::uint32_t st_flags;
    std::uint32_t st_gen;
    std::int32_t st_lspare;
    std::int64_t st_qspare[2];
};

// An open directory stream; only the implementation that opened it looks inside.
struct DIR;

// IOKit: objects are Mach ports; 0 is "none".
using mach_port_t = unsigned int;
using io_object_t = mach_port_t;
using io_iterator_t = io_object_t;
using io_registry_entry_t = io_object_t;
using IOOptionBits = std::uint32_t;

// CoreFoundation: opaque references, released with CFRelease.
struct CFString_;
struct CFDictionary_;
struct CFNumber_;
struct CFAllocator_;
using CFTypeRef = const void*;
using CFStringRef = const CFString_*;
using CFDictionaryRef = const CFDictionary_*;
using CFMutableDictionaryRef = CFDictionary_*;
using CFNumberRef = const CFNumber_*;
using CFAllocatorRef = const CFAllocator_*;
using CFStringEncoding = std::uint32_t;
using CFNumberType = long;
using Boolean = unsigned char;

inline constexpr CFStringEncoding kCFStringEncodingUTF8 = 0x08000100;
inline constexpr CFNumberType kCFNumberSInt64Type = 4;

static_assert(sizeof(statfs) == 2168);
static_assert(offsetof(statfs, f_blocks) == 8);
static_assert(offsetof(statfs, f_fstypename) == 72);
static_assert(offsetof(statfs, f_mntonname) == 88);
static_assert(offsetof(statfs, f_mntfromname) == 1112);
static_assert(sizeof(dirent) == 1048);
static_assert(offsetof(dirent, d_namlen) == 18);
static_assert(offsetof(dirent, d_name) == 21);
static_assert(sizeof(stat) == 144);
static_assert(offsetof(stat, st_mode) == 4);
static_assert(offsetof(stat, st_size) == 96);

}  // namespace lumenstat::darwin
