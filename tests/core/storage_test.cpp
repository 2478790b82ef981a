// Mounted file systems, block-storage counters and directory listings over
// the fake machine's mount table, registry and directory.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "core/whole_machine.h"
#include "disk/disk_io.h"
#include "disk/disks.h"
#include "disk/list_dir.h"

namespace lumenstat {
namespace {

using testing::kMax;
using testing::mount;
using testing::WholeMachine;
constexpr std::uint16_t kFile = WholeMachine::kFile, kDir = WholeMachine::kDir;

TEST(Disks, KeepsDiskDevicesInKernelOrder) {
    WholeMachine m;
    m.mounts.clear();
    for (const char* device :
         {"/dev/disk3s1", "devfs", "disk", "/dev", "/devfoo", "ramdisk1", "//server/disk-share",
          "//server/share", "map auto_home", "/dev/", "DISK", "/dev/disk3s1"}) {
        m.mounts.push_back(mount(device));
    }
    auto disks = get_disks(m.sys);
    ASSERT_TRUE(disks);
    std::vector<std::string> kept;
    for (const DiskInfo& d : *disks) kept.push_back(d.device);
    EXPECT_EQ(kept, (std::vector<std::string>{"/dev/disk3s1", "disk", "ramdisk1",
                                              "//server/disk-share", "/dev/", "/dev/disk3s1"}));
    EXPECT_EQ(m.getfsstat_sizes, (std::vector<int>{0, 12 * 2168}));
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
        WholeMachine m;
        m.mounts = {mount("/dev/disk1s1", "/", "apfs", c.bsize, c.blocks, c.bfree, c.bavail)};
        auto disks = get_disks(m.sys);
        ASSERT_TRUE(disks && disks->size() == 1);
        const DiskInfo& d = disks->front();
        EXPECT_EQ(std::tuple(d.total_bytes, d.used_bytes, d.available_bytes, d.usage_percent),
                  std::tuple(c.total, c.used, c.available, c.percent))
            << c.blocks;
    }
}

TEST(Disks, NamesDecodeLossilyUpToTheFirstNul) {
    WholeMachine m;
    darwin::statfs full = mount("/dev/disk2", "", "");
    std::memset(full.f_fstypename, 'z', sizeof full.f_fstypename);  // no NUL in the field
    std::memset(full.f_mntonname, 'o', sizeof full.f_mntonname);
    m.mounts = {mount("/dev/disk\xff", "/Volumes/caf\xc3\xa9\xe2\x82", "hfs"),
                mount("\377dev/x", "/y"),  // "/dev/" only before decoding: dropped
                full};
    auto disks = get_disks(m.sys);
    ASSERT_TRUE(disks);
    ASSERT_EQ(disks->size(), 2u);
    EXPECT_EQ((*disks)[0].device, "/dev/disk\uFFFD");
    EXPECT_EQ((*disks)[0].mount_point, "/Volumes/caf\u00e9\uFFFD");
    EXPECT_EQ((*disks)[1].fs_type, std::string(16, 'z'));
    EXPECT_EQ((*disks)[1].mount_point, std::string(1024, 'o'));
}

TEST(Disks, MountsComingAndGoingBetweenCountAndFill) {
    struct Case {
        std::size_t mounts;
        std::optional<int> count, fill;  // absent: the table's own
        std::size_t listed;
        std::vector<int> sizes;
    };
    const Case cases[] = {
        {3, std::nullopt, 1, 1, {0, 3 * 2168}},  // mounts vanish: only filled entries are read
        {3, 2, std::nullopt, 2, {0, 2 * 2168}},  // mounts appear: the buffer holds the first count
        {0, std::nullopt, std::nullopt, 0, {0, 0}},  // an empty table still makes the second call
    };
    for (const Case& c : cases) {
        WholeMachine m;
        m.mounts.assign(c.mounts, mount("/dev/a"));
        m.mount_count = c.count;
        m.mounts_filled = c.fill;
        auto disks = get_disks(m.sys);
        ASSERT_TRUE(disks);
        EXPECT_EQ(disks->size(), c.listed);
        EXPECT_EQ(m.getfsstat_sizes, c.sizes) << c.listed;
    }
}

WholeMachine::Statistics moved(std::int64_t n) {
    return {{"Bytes (Read)", n},          {"Bytes (Write)", 2 * n},
            {"Operations (Read)", 3 * n}, {"Operations (Write)", 4 * n},
            {"Total Time (Read)", 5 * n}, {"Total Time (Write)", 6 * n}};
}

TEST(DiskIo, DriversNumberedByRecordsProduced) {
    WholeMachine m;
    m.drivers = {{true, moved(1)},
                 {true, moved(0)},
                 {false, moved(1)},    // properties cannot be read
                 {true, std::nullopt},  // no "Statistics"
                 {true, WholeMachine::Statistics{{"Total Time (Read)", 9}}},
                 {true, WholeMachine::Statistics{{"Bytes (Read)", 7}}},
                 {true, WholeMachine::Statistics{
                            {"Operations (Write)", -5}, {"Bytes (Write)", 1}, {"Total Time (Read)", -1}}},
                 {true, moved(1'000'000'000'000)}};
    auto stats = get_disk_io_stats(m.sys);
    ASSERT_TRUE(stats);
    std::vector<std::string> got;
    for (const DiskIoStats& s : *stats) {
        got.push_back(s.device + " " + std::to_string(s.bytes_read) + " " +
                      std::to_string(s.bytes_written) + " " + std::to_string(s.reads) + " " +
                      std::to_string(s.writes) + " " + std::to_string(s.read_time_ms) + " " +
                      std::to_string(s.write_time_ms));
    }
    // Negative counters are 0; the times are the driver's nanoseconds, unchanged.
    EXPECT_EQ(got, (std::vector<std::string>{
                       "disk0 1 2 3 4 5 6", "disk1 7 0 0 0 0 0", "disk2 0 1 0 0 0 0",
                       "disk3 1000000000000 2000000000000 3000000000000 4000000000000 "
                       "5000000000000 6000000000000"}));
    EXPECT_TRUE(m.leaks().empty());
}

TEST(ListDir, DirectoriesFirstThenByteOrder) {
    WholeMachine m;
    const std::string l16(16, 'l');  // names that share their first sixteen bytes
    m.entries = {{"b.txt", kFile, 3},     {".", kDir, 64},       {"zdir", kDir, 4096},
                 {"A.txt", kFile, 5},     {"..", kDir, 64},      {"link", WholeMachine::kLink, 11},
                 {"gone", std::nullopt}, {"\xc3\xa9", kFile},   {"a", kDir, 96},
                 {"ab", kFile},          {"bad\xff", kFile, 1}, {l16 + "b", kFile},
                 {l16, kFile},           {"twin\xff", kFile, 8}, {l16 + "a", kFile},
                 {"twin\xfe", kFile, 7}};
    auto listed = list_dir(m.sys, "/base");
    ASSERT_TRUE(listed);
    std::vector<std::string> got;
    for (const DirEntry& e : *listed) {
        got.push_back(e.name + (e.is_dir ? " dir " : " ") + std::to_string(e.size));
    }
    // Names that read the same keep the order they were listed in; a directory
    // reports no size, a link is itself.
    EXPECT_EQ(got, (std::vector<std::string>{
                       "a dir 0", "zdir dir 0", "A.txt 5", "ab 0", "b.txt 3", "bad\uFFFD 1",
                       "link 11", l16 + " 0", l16 + "a 0", l16 + "b 0", "twin\uFFFD 8",
                       "twin\uFFFD 7", "\u00e9 0"}));
    EXPECT_EQ((*listed)[1].path, "/base/zdir");
    EXPECT_EQ((*listed)[5].path, "/base/bad\uFFFD");
    EXPECT_TRUE(m.leaks().empty());
}

TEST(ListDir, PathsJoinedWithOneSlash) {
    const std::pair<std::string_view, const char*> cases[] = {
        {"/tmp", "/tmp/x"}, {"/tmp/", "/tmp/x"}, {".", "./x"}, {"", "x"}, {"//", "//x"},
        {std::string_view("/tmp\0x", 6), nullptr}};  // a NUL never reaches opendir
    for (const auto& [argument, expected] : cases) {
        WholeMachine m;
        m.entries = {{"x", kFile}};
        auto listed = list_dir(m.sys, argument);
        if (expected == nullptr) {
            ASSERT_FALSE(listed);
            EXPECT_EQ(listed.error().text(), "file name contained an unexpected NUL byte");
            EXPECT_TRUE(m.opened.empty());
            continue;
        }
        ASSERT_TRUE(listed && listed->size() == 1) << argument;
        EXPECT_EQ(listed->front().path, expected);
        EXPECT_EQ(m.opened, std::vector<std::string>{std::string(argument)});
    }
}

}  // namespace
}  // namespace lumenstat
