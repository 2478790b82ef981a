// The storage answers of the Linux personality: the mount table, statfs that
// does not wait, block-device counters and the registry's object bookkeeping,
// against the live system where it can. The mount table's parser on any bytes:
// fuzz/fuzz_mountinfo.cpp; failures of the calls: tests/faults/linux_sweep.py.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <filesystem>
#include <future>

#include "os/linux/linux_system.h"
#include "os/linux/query_scope.h"
#include "os/linux/storage/block_stat.h"
#include "os/linux/storage/statfs_nowait.h"
#include "os/process_test_util.h"

namespace lumenstat::testing {
namespace {

// The units (and the reader of one device) are checked on any numbers by
// fuzz/fuzz_block_stat.cpp and against /sys/block by tests/python/test_storage.py.
TEST(BlockStat, TableNamesDevicesAsSysBlockDoes) {
    const auto table = os::block_stat::parse_table(
        " 253 0 vda 5 0 8 1 6 0 10 2 0 0 0\n 104 0 cciss/c0d0 1 0 2 0 3 0 4 0 0 0 0\n"
        " 7 0 loop0 1 2 3\ngarbage\n 253 1 vda1 1 0 2 0 0 0 0 0");  // loop0 is cut short
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table.at("vda").bytes_written, 10u * 512);
    EXPECT_EQ(table.at("cciss!c0d0").writes, 3u);
    EXPECT_EQ(table.at("vda1").reads, 1u);
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
    const std::vector<std::string> paths = {"/a", "/hung", "/b"};
    auto answered = [&](std::chrono::milliseconds patience) {
        std::string text;
        for (const auto& answer : asker.ask(paths, patience)) {
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
    EXPECT_EQ(os::linux_scope::current(), nullptr);
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
    EXPECT_EQ(os::linux_scope::current(), nullptr);
    EXPECT_EQ(count(), all);
}

// Mounts made in a mount namespace of a child's own: two tmpfs mounted in
// turn on one directory, the lower one hidden and so without figures, and
// one whose mount point (1214 bytes) and source are longer than Darwin's
// fields, each with a character across the cut, which goes before it.
TEST(Getfsstat, HiddenMountsAndNamesLongerThanTheFields) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount";
    char name[] = "/tmp/lumenstat-mounts-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    const std::string base = name;
    std::string point = base;
    while (point.size() + 201 < 1022) point.append("/").append(200, 'a');
    point.append("/").append(1022 - point.size(), 'b').append("\xC3\xA9");  // é at 1022
    point.append("/").append(100, 'c').append("/").append(88, 'd');
    // U+1F600 at 1021
    const std::string source = "lumenstat-disk-" + std::string(1006, 'x') + "\xF0\x9F\x98\x80tail";
    ASSERT_EQ(point.size(), 1214u);
    const std::tuple<std::string, std::string, const char*> mounts[] = {
        {base, "lumenstat-lower", "size=6m"},
        {base, "lumenstat-upper", "size=7m"},
        {point, source, "size=1m"}};
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            ::_exit(120);
        }
        for (const auto& [at, from, options] : mounts) {
            std::error_code ignored;
            std::filesystem::create_directories(at, ignored);
            if (::mount(from.c_str(), at.c_str(), "tmpfs", 0, options) != 0) ::_exit(121);
        }
        os::LinuxSystem sys;
        std::vector<darwin::statfs> table(sys.getfsstat(nullptr, 0, darwin::kMntNowait) + 8);
        const int filled = sys.getfsstat(
            table.data(), static_cast<int>(table.size() * sizeof table[0]), darwin::kMntNowait);
        std::string text;
        for (const darwin::statfs& mount : std::span(table).first(std::max(filled, 0))) {
            if (!std::string_view(mount.f_mntonname).starts_with(base)) continue;
            text += std::string(mount.f_mntonname) + " " + mount.f_mntfromname + " " +
                    mount.f_fstypename + " " + std::to_string(mount.f_blocks * mount.f_bsize) +
                    "\n";
        }
        ::_exit(::write(report[1], text.data(), text.size()) == ssize_t(text.size()) ? 0 : 122);
    }
    ::close(report[1]);
    const std::string text = read_to_end(report[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::rmdir(name);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(text, base + " lumenstat-lower tmpfs 0\n" + base + " lumenstat-upper tmpfs " +
                        std::to_string(7 << 20) + "\n" + point.substr(0, 1022) + " " +
                        source.substr(0, 1021) + " tmpfs " + std::to_string(1 << 20) + "\n");
}

}  // namespace
}  // namespace lumenstat::testing
