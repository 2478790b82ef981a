// Mounted file systems, block-storage counters and directory listings over
// scripted mount tables, registries and directories.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "disk/disk_io.h"
#include "disk/disks.h"
#include "disk/list_dir.h"
#include "support/fake_system.h"

namespace lumenstat {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

darwin::statfs mount(std::string_view from, std::string_view on = "/mnt",
                     std::string_view type = "apfs", std::uint32_t bsize = 4096,
                     std::uint64_t blocks = 0, std::uint64_t bfree = 0, std::uint64_t bavail = 0) {
    darwin::statfs entry{};
    std::memcpy(entry.f_mntfromname, from.data(),
                std::min(from.size(), sizeof entry.f_mntfromname));
    std::memcpy(entry.f_mntonname, on.data(), std::min(on.size(), sizeof entry.f_mntonname));
    std::memcpy(entry.f_fstypename, type.data(), std::min(type.size(), sizeof entry.f_fstypename));
    entry.f_bsize = bsize;
    entry.f_iosize = 1 << 20;  // never the block size
    entry.f_blocks = blocks;
    entry.f_bfree = bfree;
    entry.f_bavail = bavail;
    return entry;
}

// A kernel mount table: the first call counts `table`, the second fills at
// most `fill` entries (all by default) of what fits.
struct MountTable {
    testing::FakeSystem sys;
    std::vector<darwin::statfs> table;
    std::optional<int> count, fill;
    std::vector<int> sizes;

    MountTable() {
        sys.on_getfsstat = [this](darwin::statfs* buffer, int size, int mode) {
            EXPECT_EQ(mode, darwin::kMntNowait);
            sizes.push_back(size);
            if (buffer == nullptr) return count.value_or(static_cast<int>(table.size()));
            if (fill && *fill < 0) return *fill;
            std::size_t n = std::min(table.size(), static_cast<std::size_t>(size) / 2168);
            if (fill) n = std::min(n, static_cast<std::size_t>(*fill));
            std::copy_n(table.begin(), n, buffer);
            return static_cast<int>(n);
        };
    }
};

TEST(Disks, KeepsDiskDevicesInKernelOrder) {
    MountTable m;
    for (const char* device :
         {"/dev/disk3s1", "devfs", "disk", "/dev", "/devfoo", "ramdisk1", "//server/disk-share",
          "//server/share", "map auto_home", "/dev/", "DISK", "/dev/disk3s1"}) {
        m.table.push_back(mount(device));
    }
    auto disks = get_disks(m.sys);
    ASSERT_TRUE(disks);
    std::vector<std::string> kept;
    for (const DiskInfo& d : *disks) kept.push_back(d.device);
    EXPECT_EQ(kept, (std::vector<std::string>{"/dev/disk3s1", "disk", "ramdisk1",
                                              "//server/disk-share", "/dev/", "/dev/disk3s1"}));
    EXPECT_EQ(m.sizes, (std::vector<int>{0, 12 * 2168}));
    EXPECT_EQ(m.sys.call_scopes, (std::vector<int>{1, 1}));  // both calls in the query's scope
    EXPECT_EQ(m.sys.scopes_closed, 1);
}

TEST(Disks, Figures) {
    struct Case {
        std::uint32_t bsize;
        std::uint64_t blocks, bfree, bavail;
        std::uint64_t total, used, available;
        double percent;
    };
    const Case cases[] = {
        {4096, 1000, 250, 200, 4096000, 3072000, 819200, 75.0},  // reserved: used + avail < total
        {4096, 0, 0, 0, 0, 0, 0, 0.0},                           // no blocks, no division
        {0xffffffff, 1ull << 32, 0, 1, 0xffffffff00000000, 0xffffffff00000000, 0xffffffff, 100.0},
        {4096, kMax, 0, kMax, kMax, kMax, kMax, 100.0},  // products too large hold at the maximum
        {4096, 10, 20, 5, 40960, 0, 20480, 0.0},         // more free than total: nothing used
    };
    for (const Case& c : cases) {
        MountTable m;
        m.table.push_back(mount("/dev/disk1s1", "/", "apfs", c.bsize, c.blocks, c.bfree, c.bavail));
        auto disks = get_disks(m.sys);
        ASSERT_TRUE(disks && disks->size() == 1);
        const DiskInfo& d = disks->front();
        EXPECT_EQ(d.total_bytes, c.total) << c.blocks;
        EXPECT_EQ(d.used_bytes, c.used) << c.blocks;
        EXPECT_EQ(d.available_bytes, c.available) << c.blocks;
        EXPECT_DOUBLE_EQ(d.usage_percent, c.percent) << c.blocks;
    }
}

TEST(Disks, NamesDecodeLossilyUpToTheFirstNul) {
    MountTable m;
    m.table.push_back(mount("/dev/disk\xff", "/Volumes/caf\xc3\xa9\xe2\x82", "hfs"));
    m.table.push_back(mount("/dev/\377disk", "/x"));
    m.table.push_back(mount("\377dev/x", "/y"));  // "/dev/" only before decoding: dropped
    darwin::statfs full = mount("/dev/disk2", "", "");
    std::memset(full.f_fstypename, 'z', sizeof full.f_fstypename);  // no NUL in the field
    std::memset(full.f_mntonname, 'o', sizeof full.f_mntonname);
    m.table.push_back(full);
    auto disks = get_disks(m.sys);
    ASSERT_TRUE(disks);
    ASSERT_EQ(disks->size(), 3u);
    EXPECT_EQ((*disks)[0].device, "/dev/disk\uFFFD");
    EXPECT_EQ((*disks)[0].mount_point, "/Volumes/caf\u00e9\uFFFD");
    EXPECT_EQ((*disks)[1].device, "/dev/\uFFFDdisk");
    EXPECT_EQ((*disks)[2].fs_type, std::string(16, 'z'));
    EXPECT_EQ((*disks)[2].mount_point, std::string(1024, 'o'));
}

TEST(Disks, TableChangesAndFailures) {
    struct Case {
        std::size_t mounts;
        std::optional<int> count, fill;  // absent: the table's own
        int listed;                      // -1: the query fails
        std::vector<int> sizes;
    };
    const Case cases[] = {
        {3, std::nullopt, 1, 1, {0, 3 * 2168}},  // mounts vanish: only filled entries are read
        {3, 2, std::nullopt, 2, {0, 2 * 2168}},  // mounts appear: the buffer holds the first count
        {0, std::nullopt, std::nullopt, 0, {0, 0}},  // an empty table still makes the second call
        {1, -1, std::nullopt, -1, {0}},
        {1, std::nullopt, -1, -1, {0, 2168}},
    };
    for (const Case& c : cases) {
        MountTable m;
        m.table.assign(c.mounts, mount("/dev/a"));
        m.count = c.count;
        m.fill = c.fill;
        auto disks = get_disks(m.sys);
        EXPECT_EQ(m.sizes, c.sizes) << c.listed;
        if (c.listed < 0) {
            ASSERT_FALSE(disks);
            EXPECT_EQ(disks.error(), QueryError::sys_call("getfsstat failed"));
        } else {
            ASSERT_TRUE(disks);
            EXPECT_EQ(disks->size(), static_cast<std::size_t>(c.listed));
        }
    }
}

// An I/O Registry of block-storage drivers. Each driver is its statistics
// (key -> value; nullopt stands for no "Statistics" at all) or no properties.
// Every object the query creates is tracked until it is released: a release
// of anything not live fails the test, and so does anything live at the end.
struct Registry {
    using Statistics = std::map<std::string, std::int64_t>;
    struct Object {
        enum Kind { Matching, Properties, Stats, Key, Number } kind;
        std::size_t driver = 0;
        std::string text;
        std::int64_t number = 0;
    };

    testing::FakeSystem sys;
    std::vector<std::optional<std::optional<Statistics>>> drivers;
    std::deque<Object> store;
    std::set<const void*> live_cf;
    std::set<darwin::io_object_t> live_io;
    std::size_t next = 0;
    darwin::kern_return_t get_services = darwin::KERN_SUCCESS;
    bool matching_fails = false;
    bool keys_fail = false;

    const void* make(Object o, bool owned) {
        store.push_back(std::move(o));
        if (owned) live_cf.insert(&store.back());
        return &store.back();
    }
    static const Object& at(const void* p) { return *static_cast<const Object*>(p); }

    Registry() {
        sys.on_IOServiceMatching = [this](const char* name) -> darwin::CFMutableDictionaryRef {
            EXPECT_STREQ(name, "IOBlockStorageDriver");
            if (matching_fails) return nullptr;
            return static_cast<darwin::CFMutableDictionaryRef>(
                const_cast<void*>(make({Object::Matching, 0, "", 0}, true)));
        };
        sys.on_IOServiceGetMatchingServices = [this](darwin::mach_port_t port,
                                                     darwin::CFDictionaryRef matching,
                                                     darwin::io_iterator_t* iterator) {
            EXPECT_EQ(port, 0u);
            EXPECT_EQ(live_cf.erase(matching), 1u);  // consumed on every path
            if (get_services != darwin::KERN_SUCCESS) return get_services;
            *iterator = 1000;
            live_io.insert(1000);
            return darwin::KERN_SUCCESS;
        };
        sys.on_IOIteratorNext = [this](darwin::io_iterator_t iterator) -> darwin::io_object_t {
            EXPECT_EQ(iterator, 1000u);
            if (next == drivers.size()) return 0;
            live_io.insert(static_cast<darwin::io_object_t>(++next));
            return static_cast<darwin::io_object_t>(next);
        };
        sys.on_IORegistryEntryCreateCFProperties = [this](darwin::io_registry_entry_t service,
                                                          darwin::CFMutableDictionaryRef* out) {
            EXPECT_TRUE(live_io.contains(service));
            const std::size_t index = service - 1;
            if (!drivers.at(index)) return static_cast<darwin::kern_return_t>(0xe00002bc);
            *out = static_cast<darwin::CFMutableDictionaryRef>(
                const_cast<void*>(make({Object::Properties, index, "", 0}, true)));
            return darwin::KERN_SUCCESS;
        };
        sys.on_IOObjectRelease = [this](darwin::io_object_t object) {
            EXPECT_EQ(live_io.erase(object), 1u);
            return darwin::KERN_SUCCESS;
        };
        sys.on_CFStringCreateWithCString = [this](const char* text, darwin::CFStringEncoding e) {
            EXPECT_EQ(e, 0x08000100u);
            if (keys_fail) return darwin::CFStringRef{};
            return static_cast<darwin::CFStringRef>(make({Object::Key, 0, text, 0}, true));
        };
        sys.on_CFDictionaryGetValue = [this](darwin::CFDictionaryRef dict,
                                             const void* key) -> const void* {
            EXPECT_TRUE(live_cf.contains(key));
            const Object& holder = at(dict);
            const std::string& name = at(key).text;
            const auto& stats = *drivers.at(holder.driver);
            if (holder.kind == Object::Properties) {
                if (name != "Statistics" || !stats) return nullptr;
                return make({Object::Stats, holder.driver, "", 0}, false);
            }
            EXPECT_EQ(holder.kind, Object::Stats);
            const auto found = stats->find(name);
            if (found == stats->end()) return nullptr;
            return make({Object::Number, 0, "", found->second}, false);
        };
        sys.on_CFNumberGetValue = [](darwin::CFNumberRef number, darwin::CFNumberType type,
                                     void* value) -> darwin::Boolean {
            EXPECT_EQ(type, 4);
            EXPECT_EQ(*static_cast<std::int64_t*>(value), 0);  // preset
            *static_cast<std::int64_t*>(value) = at(number).number;
            return 1;
        };
        sys.on_CFRelease = [this](darwin::CFTypeRef object) {
            EXPECT_EQ(live_cf.erase(object), 1u);
        };
    }

    ~Registry() {
        EXPECT_TRUE(live_cf.empty());
        EXPECT_TRUE(live_io.empty());
    }
};

Registry::Statistics moved(std::int64_t n) {
    return {{"Bytes (Read)", n},          {"Bytes (Write)", 2 * n},
            {"Operations (Read)", 3 * n}, {"Operations (Write)", 4 * n},
            {"Total Time (Read)", 5 * n}, {"Total Time (Write)", 6 * n}};
}

TEST(DiskIo, DriversNumberedByRecordsProduced) {
    Registry r;
    const Registry::Statistics idle = moved(0);
    const Registry::Statistics time_only = {{"Total Time (Read)", 9}, {"Total Time (Write)", 9}};
    r.drivers = {moved(1),
                 idle,
                 std::nullopt,                           // properties cannot be read
                 std::optional<Registry::Statistics>{},  // no "Statistics"
                 time_only,
                 Registry::Statistics{{"Bytes (Read)", 7}},
                 Registry::Statistics{
                     {"Operations (Write)", -5}, {"Bytes (Write)", 1}, {"Total Time (Read)", -1}},
                 moved(1'000'000'000'000)};
    auto stats = get_disk_io_stats(r.sys);
    ASSERT_TRUE(stats);
    ASSERT_EQ(stats->size(), 4u);
    const DiskIoStats& a = (*stats)[0];
    EXPECT_EQ((std::vector<std::uint64_t>{a.bytes_read, a.bytes_written, a.reads, a.writes,
                                          a.read_time_ms, a.write_time_ms}),
              (std::vector<std::uint64_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(a.device, "disk0");
    EXPECT_EQ((*stats)[1].device, "disk1");
    EXPECT_EQ((*stats)[1].bytes_read, 7u);
    EXPECT_EQ((*stats)[1].writes + (*stats)[1].read_time_ms, 0u);
    EXPECT_EQ((*stats)[2].writes, 0u);  // negative counters are 0
    EXPECT_EQ((*stats)[2].read_time_ms, 0u);
    EXPECT_EQ((*stats)[2].bytes_written, 1u);
    EXPECT_EQ((*stats)[3].device, "disk3");
    EXPECT_EQ((*stats)[3].read_time_ms, 5'000'000'000'000u);  // the driver's nanoseconds, unchanged
    EXPECT_EQ(std::set<int>(r.sys.call_scopes.begin(), r.sys.call_scopes.end()), std::set<int>{1});
    EXPECT_EQ(r.sys.scopes_closed, 1);
}

TEST(DiskIo, FailuresReleaseWhatWasMade) {
    {
        Registry r;
        r.matching_fails = true;
        auto stats = get_disk_io_stats(r.sys);
        ASSERT_FALSE(stats);
        EXPECT_EQ(stats.error(), QueryError::sys_call("IOServiceMatching failed"));
    }
    {
        Registry r;
        r.get_services = static_cast<darwin::kern_return_t>(0xe00002c7);
        auto stats = get_disk_io_stats(r.sys);
        ASSERT_FALSE(stats);
        EXPECT_EQ(stats.error(),
                  QueryError::sys_call("IOServiceGetMatchingServices failed: -536870201"));
    }
    {  // no key can be made: every driver lacks statistics and is skipped
        Registry r;
        r.drivers = {moved(1), moved(2)};
        r.keys_fail = true;
        auto stats = get_disk_io_stats(r.sys);
        EXPECT_TRUE(stats && stats->empty());
    }
}

// A directory the fake serves: entries in the order given; an entry whose
// status is missing vanished after it was read; `fail_after` entries are
// read before readdir_r reports an error.
struct Directory {
    struct Entry {
        std::string name;
        std::optional<std::uint16_t> mode;
        std::int64_t size = 0;
    };
    testing::FakeSystem sys;
    std::vector<Entry> entries;
    std::size_t read = 0;
    std::optional<std::size_t> fail_after;
    int open_errno = 0;
    std::vector<std::string> opened;
    int closed = 0;
    darwin::DIR* const handle = reinterpret_cast<darwin::DIR*>(0x1234);

    Directory() {
        sys.on_opendir = [this](const char* path) -> darwin::DIR* {
            opened.emplace_back(path);
            if (open_errno != 0) {
                errno = open_errno;
                return nullptr;
            }
            return handle;
        };
        sys.on_readdir_r = [this](darwin::DIR* dir, darwin::dirent* out, darwin::dirent** result) {
            EXPECT_EQ(dir, handle);
            *result = nullptr;
            if (fail_after && read == *fail_after) return EIO;
            if (read == entries.size()) return 0;
            const std::string& name = entries[read++].name;
            *out = darwin::dirent{};
            out->d_namlen = static_cast<std::uint16_t>(name.size());
            std::memcpy(out->d_name, name.data(), name.size());
            *result = out;
            return 0;
        };
        sys.on_dirfd = [this](darwin::DIR* dir) { return dir == handle ? 7 : -1; };
        sys.on_fstatat = [this](int fd, const char* name, darwin::stat* out, int flag) {
            EXPECT_EQ(fd, 7);
            EXPECT_EQ(flag, 0x20);
            for (const Entry& e : entries) {
                if (e.name != name) continue;
                if (!e.mode) break;
                *out = darwin::stat{};
                out->st_mode = *e.mode;
                out->st_size = e.size;
                return 0;
            }
            errno = ENOENT;
            return -1;
        };
        sys.on_closedir = [this](darwin::DIR* dir) {
            EXPECT_EQ(dir, handle);
            ++closed;
            return 0;
        };
    }
};

constexpr std::uint16_t kFile = 0100644, kDir = 0040755, kLink = 0120777;

std::vector<std::string> names(const std::vector<DirEntry>& entries) {
    std::vector<std::string> out;
    for (const DirEntry& e : entries) out.push_back(e.name);
    return out;
}

TEST(ListDir, DirectoriesFirstThenByteOrder) {
    Directory d;
    const std::string l16(16, 'l');  // names that share their first sixteen bytes
    d.entries = {{"b.txt", kFile, 3},    {".", kDir, 64},        {"zdir", kDir, 4096},
                 {"A.txt", kFile, 5},    {"..", kDir, 64},       {"link", kLink, 11},
                 {"gone", std::nullopt}, {"\xc3\xa9", kFile},    {"a", kDir, 96},
                 {"ab", kFile},          {"bad\xff", kFile, 1},  {l16 + "b", kFile},
                 {l16, kFile},           {"twin\xff", kFile, 8}, {l16 + "a", kFile},
                 {"twin\xfe", kFile, 7}};
    auto listed = list_dir(d.sys, "/base");
    ASSERT_TRUE(listed);
    EXPECT_EQ(names(*listed), (std::vector<std::string>{
                                  "a", "zdir", "A.txt", "ab", "b.txt", "bad\uFFFD", "link", l16,
                                  l16 + "a", l16 + "b", "twin\uFFFD", "twin\uFFFD", "\u00e9"}));
    // Names that read the same keep the order they were listed in.
    EXPECT_EQ((*listed)[10].size, 8u);
    EXPECT_EQ((*listed)[11].size, 7u);
    EXPECT_EQ(d.closed, 1);
    EXPECT_EQ(std::set<int>(d.sys.call_scopes.begin(), d.sys.call_scopes.end()), std::set<int>{1});
    const DirEntry& zdir = (*listed)[1];
    EXPECT_TRUE(zdir.is_dir);
    EXPECT_EQ(zdir.size, 0u);  // directories report no size
    EXPECT_EQ(zdir.path, "/base/zdir");
    const DirEntry& link = (*listed)[6];
    EXPECT_FALSE(link.is_dir);
    EXPECT_EQ(link.size, 11u);
    EXPECT_EQ((*listed)[5].path, "/base/bad\uFFFD");
}

TEST(ListDir, PathsJoinedWithOneSlash) {
    const std::pair<const char*, const char*> cases[] = {
        {"/tmp", "/tmp/x"}, {"/tmp/", "/tmp/x"}, {".", "./x"}, {"", "x"}, {"//", "//x"}};
    for (const auto& [argument, expected] : cases) {
        Directory d;
        d.entries = {{"x", kFile}};
        auto listed = list_dir(d.sys, argument);
        ASSERT_TRUE(listed && listed->size() == 1) << argument;
        EXPECT_EQ(listed->front().path, expected);
        EXPECT_EQ(d.opened, std::vector<std::string>{argument});
    }
}

TEST(ListDir, Failures) {
    {  // a read error part way fails the listing with that error, and closes it
        Directory d;
        d.entries = {{"b", kFile}, {"a", kFile}, {"c", kFile}};
        d.fail_after = 2;
        auto listed = list_dir(d.sys, "/x");
        ASSERT_FALSE(listed);
        EXPECT_EQ(listed.error().os_code, EIO);
        EXPECT_EQ(d.closed, 1);
    }
    {
        Directory d;
        d.open_errno = ENOTDIR;
        auto listed = list_dir(d.sys, "/etc/passwd");
        ASSERT_FALSE(listed);
        EXPECT_EQ(listed.error().text(), "Not a directory (os error 20)");
        EXPECT_EQ(d.closed, 0);
    }
    {  // a NUL never reaches opendir
        Directory d;
        auto listed = list_dir(d.sys, std::string_view("/tmp\0x", 6));
        ASSERT_FALSE(listed);
        EXPECT_EQ(listed.error().text(), "file name contained an unexpected NUL byte");
        EXPECT_TRUE(d.opened.empty());
    }
}

}  // namespace
}  // namespace lumenstat
