// The storage answers of the Linux personality: the mount table, statfs that
// does not wait and block-device counters, against the live system where it can. The mount table's
// parser on any bytes: fuzz/fuzz_mountinfo.cpp; failures of the calls: tests/faults/linux_sweep.py.
#include <gtest/gtest.h>

#include <future>

#include "os/linux/linux_system.h"
#include "os/linux/query_scope.h"
#include "os/linux/storage/block_stat.h"
#include "os/linux/storage/mountinfo.h"
#include "os/linux/storage/statfs_nowait.h"
#include "os/process_test_util.h"

namespace lumenstat::testing {
namespace {

// The mount table's fields, and block devices named as /sys/block names them
// (the units and the reader of one device are checked on any numbers by
// fuzz/fuzz_block_stat.cpp and against /sys/block by tests/python/test_storage.py).
TEST(StorageTables, MountsAndBlockDevicesParse) {
    const auto mounts = os::mountinfo::parse(
        "36 35 98:0 / /mnt/a\\040b rw,noatime master:1 - tmpfs lumenstat-disk rw\n"
        "37 35 98:1 / /short rw\n");  // no separator: left out
    ASSERT_EQ(mounts.size(), 1u);
    EXPECT_EQ(mounts[0].mount_point + "|" + mounts[0].fs_type + "|" + mounts[0].source,
              "/mnt/a b|tmpfs|lumenstat-disk");
    const auto table = os::block_stat::parse_table(
        " 253 0 vda 5 0 8 1 6 0 10 2 0 0 0\n 104 0 cciss/c0d0 1 0 2 0 3 0 4 0 0 0 0\n"
        " 7 0 loop0 1 2 3\ngarbage\n 253 1 vda1 1 0 2 0 0 0 0 0");  // loop0 is cut short
    std::string names;
    for (const auto& [name, counters] : table) names += name + " ";
    EXPECT_EQ(names, "cciss!c0d0 vda vda1 ");
}

// A mount that never answers: its statfs blocks until the test lets it go,
// and is asked no second time while it hangs.
TEST(StatfsNowait, AMountThatHangsDoesNotHoldTheListing) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    os::PatientStatfs asker([released](const char* path, os::MountFigures& out) {
        if (std::string(path) == "/hung") released.wait();
        out.figures.f_blocks = 42;
        return 0;
    });
    auto answered = [&](std::chrono::milliseconds patience) {
        std::string text;
        for (const auto& answer : asker.ask({"/a", "/hung", "/b"}, patience)) {
            text += answer && answer->figures.f_blocks == 42 ? "42 " : "- ";
        }
        return text + std::to_string(asker.in_flight());
    };
    EXPECT_EQ(answered(std::chrono::milliseconds(50)), "42 - 42 1");
    EXPECT_EQ(answered(std::chrono::milliseconds(50)), "42 - 42 1");
    release.set_value();
    EXPECT_TRUE(wait_until([&] { return asker.in_flight() == 0; }));
    EXPECT_EQ(answered(std::chrono::seconds(5)), "42 42 42 0");
    for (auto [type, may_wait] :
         {std::pair{"nfs4", true}, {"fuse.sshfs", true}, {"ext4", false}, {"fusectl", false}}) {
        EXPECT_EQ(os::statfs_may_wait(type), may_wait) << type;
    }
}

// The kernel's table, counted and filled as far as it fits; within a scope it
// is read once and dropped with the scope, and a scope inside it reads its own.
TEST(Getfsstat, FillsWhatFitsAndReadsTheTableOncePerScope) {
    os::LinuxSystem sys;
    auto count = [&] { return sys.getfsstat(nullptr, 0, darwin::kMntNowait); };
    const int all = count();
    ASSERT_GT(all, 0);
    std::vector<darwin::statfs> table(2);
    EXPECT_EQ(sys.getfsstat(table.data(), 2168 + 100, darwin::kMntNowait), 1);
    EXPECT_NE(table[0].f_mntonname[0], '\0');
    {
        os::QueryScope scope(sys);
        ASSERT_EQ(count(), all);
        os::linux_scope::Scope* outer = os::linux_scope::current();
        ASSERT_TRUE(outer && outer->mounts);
        outer->mounts->resize(1);  // what the scope holds is what the next call answers from
        EXPECT_EQ(count(), 1);
        {
            os::QueryScope inner(sys);
            EXPECT_EQ(count(), all);
        }
        EXPECT_EQ(count(), 1);
    }
    EXPECT_EQ(count(), all);
}

}  // namespace
}  // namespace lumenstat::testing
