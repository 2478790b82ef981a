// Mounted file systems, block-storage counters and directory listings over
// the fake machine's mount table, registry and directory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/answer_text.h"
#include "core/whole_machine.h"
#include "disk/disk_io.h"
#include "disk/disks.h"
#include "disk/list_dir.h"

namespace lumenstat {
namespace {

using testing::kMax;
using testing::mount;
using testing::WholeMachine;
using testing::words;
using Texts = std::vector<std::string>;
constexpr std::uint16_t kFile = WholeMachine::kFile, kDir = WholeMachine::kDir;

TEST(Disks, Figures) {
    struct Case {
        std::uint32_t bsize;
        std::uint64_t blocks, bfree, bavail;
        const char* figures;  // total, used, available, percent
    };
    const Case cases[] = {
        {4096, 1000, 250, 200, "4096000 3072000 819200 75"},  // reserved: used + avail < total
        {4096, 0, 0, 0, "0 0 0 0"},                           // no blocks, no division
        {0xffffffff, 1ull << 32, 0, 1, "18446744069414584320 18446744069414584320 4294967295 100"},
        {4096, kMax, 0, kMax, "18446744073709551615 18446744073709551615 18446744073709551615 100"},
        {4096, 10, 20, 5, "40960 0 20480 0"},  // more free than total: nothing used
    };
    for (const Case& c : cases) {
        WholeMachine m;
        m.mounts = {mount("/dev/disk1s1", "/", "apfs", c.bsize, c.blocks, c.bfree, c.bavail)};
        const DiskInfo d = get_disks(m.sys).value().at(0);
        EXPECT_EQ(words(d.total_bytes, d.used_bytes, d.available_bytes, d.usage_percent),
                  c.figures);
    }
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
        EXPECT_EQ(get_disks(m.sys).value().size(), c.listed);
        EXPECT_EQ(m.getfsstat_sizes, c.sizes) << c.listed;
    }
}

TEST(DiskIo, DriversNumberedByRecordsProduced) {
    using Statistics = WholeMachine::Statistics;
    const Statistics moved = {{"Bytes (Read)", 1},      {"Bytes (Write)", 2},
                              {"Operations (Read)", 3}, {"Operations (Write)", 4},
                              {"Total Time (Read)", 5}, {"Total Time (Write)", 6}};
    WholeMachine m;
    m.drivers = {{true, moved},
                 {true, Statistics{{"Bytes (Read)", 0}}},
                 {false, moved},        // properties cannot be read
                 {true, std::nullopt},  // no "Statistics"
                 {true, Statistics{{"Bytes (Read)", 7}}},
                 {true, Statistics{{"Operations (Write)", -5}, {"Bytes (Write)", 1}}}};
    Texts got;
    for (const DiskIoStats& s : std::vector(get_disk_io_stats(m.sys).value())) {
        got.push_back(words(s.device, s.bytes_read, s.bytes_written, s.reads, s.writes,
                            s.read_time_ms, s.write_time_ms));
    }
    // Negative counters are 0; the times are the driver's nanoseconds, unchanged.
    EXPECT_EQ(got, (Texts{"disk0 1 2 3 4 5 6", "disk1 7 0 0 0 0 0", "disk2 0 1 0 0 0 0"}));
    EXPECT_TRUE(m.leaks().empty());
}

TEST(ListDir, PathsJoinedWithOneSlash) {
    const std::pair<std::string_view, const char*> cases[] = {
        {"/tmp", "/tmp/x"},
        {"/tmp/", "/tmp/x"},
        {".", "./x"},
        {"", "x"},
        {"//", "//x"},
        {std::string_view("/tmp\0x", 6), nullptr}};  // a NUL never reaches opendir
    for (const auto& [argument, expected] : cases) {
        WholeMachine m;
        m.entries = {{"x", kFile}};
        auto listed = list_dir(m.sys, argument);
        EXPECT_EQ(listed ? listed->at(0).path : listed.error().text(),
                  expected ? expected : "file name contained an unexpected NUL byte");
        EXPECT_EQ(m.opened, expected ? Texts{std::string(argument)} : Texts{});
    }
}

}  // namespace
}  // namespace lumenstat
