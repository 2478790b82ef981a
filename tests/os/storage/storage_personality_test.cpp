// The storage answers of the Linux personality: the mount table, statfs that
// does not wait, block-device counters and the registry's object bookkeeping,
// against the live system where it can. The mount table's parser on any bytes:
// fuzz/fuzz_mountinfo.cpp; failures of the calls: tests/faults/linux_sweep.py.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include "os/linux/linux_system.h"
#include "os/linux/query_scope.h"
#include "os/linux/storage/block_stat.h"
#include "os/linux/storage/statfs_nowait.h"

namespace lumenstat::testing {
namespace {

// The units (and the reader of one device) are checked on any numbers by
// fuzz/fuzz_block_stat.cpp and against /sys/block by tests/python/test_storage.py.
TEST(BlockStat, TableNamesDevicesAsSysBlockDoes) {
    const auto table = os::block_stat::parse_table(
        " 253 0 vda 5 0 8 1 6 0 10 2 0 0 0\n"
        " 104 0 cciss/c0d0 1 0 2 0 3 0 4 0 0 0 0\n"
        " 7 0 loop0 1 2 3\n"  // cut short: left out
        "garbage\n"
        " 253 1 vda1 1 0 2 0 0 0 0 0");
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table.at("vda").bytes_written, 10u * 512);
    EXPECT_EQ(table.at("cciss!c0d0").writes, 3u);
    EXPECT_EQ(table.at("vda1").reads, 1u);
}

// A mount that never answers: its statfs blocks until the test lets it go.
TEST(StatfsNowait, AMountThatHangsDoesNotHoldTheListing) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    os::PatientStatfs asker([released](const char* path, os::MountFigures& out) {
        if (std::string(path) == "/hung") released.wait();
        out.figures.f_blocks = 42;
        return 0;
    });
    const std::vector<std::string> paths = {"/a", "/hung", "/b"};
    const auto start = std::chrono::steady_clock::now();
    auto answers = asker.ask(paths, std::chrono::milliseconds(50));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_TRUE(answers[0] && answers[0]->figures.f_blocks == 42);
    EXPECT_FALSE(answers[1]);
    EXPECT_TRUE(answers[2] && answers[2]->figures.f_blocks == 42);
    EXPECT_EQ(asker.in_flight(), 1u);

    // Asked again while still hung: no second thread for it.
    answers = asker.ask(paths, std::chrono::milliseconds(50));
    EXPECT_FALSE(answers[1]);
    EXPECT_EQ(asker.in_flight(), 1u);

    release.set_value();
    for (int i = 0; i < 200 && asker.in_flight() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(asker.in_flight(), 0u);
    answers = asker.ask(paths, std::chrono::seconds(5));
    EXPECT_TRUE(answers[1] && answers[1]->figures.f_blocks == 42);

    EXPECT_TRUE(os::statfs_may_wait("nfs4"));
    EXPECT_TRUE(os::statfs_may_wait("fuse.sshfs"));
    EXPECT_FALSE(os::statfs_may_wait("ext4"));
    EXPECT_FALSE(os::statfs_may_wait("fusectl"));
}

// The kernel's table, counted and filled (each mount's figures against df:
// tests/python/test_storage.py).
TEST(Getfsstat, FillsWhatFitsAndReadsTheTableOncePerScope) {
    os::LinuxSystem sys;
    const int count = sys.getfsstat(nullptr, 0, darwin::kMntNowait);
    ASSERT_GT(count, 0);
    std::vector<darwin::statfs> table(2);
    EXPECT_EQ(sys.getfsstat(table.data(), 2168 + 100, darwin::kMntNowait), 1);
    EXPECT_NE(table[0].f_mntonname[0], '\0');

    // Within a scope the table is read once and dropped with the scope; a
    // scope inside it reads its own.
    EXPECT_EQ(os::linux_scope::current(), nullptr);
    {
        os::QueryScope scope(sys);
        ASSERT_EQ(sys.getfsstat(nullptr, 0, darwin::kMntNowait), count);
        os::linux_scope::Scope* outer = os::linux_scope::current();
        ASSERT_TRUE(outer && outer->mounts);
        outer->mounts->resize(1);  // what the scope holds is what the next call answers from
        EXPECT_EQ(sys.getfsstat(nullptr, 0, darwin::kMntNowait), 1);
        {
            os::QueryScope inner(sys);
            EXPECT_EQ(sys.getfsstat(nullptr, 0, darwin::kMntNowait), count);
        }
        EXPECT_EQ(sys.getfsstat(nullptr, 0, darwin::kMntNowait), 1);
    }
    EXPECT_EQ(os::linux_scope::current(), nullptr);
    EXPECT_EQ(sys.getfsstat(nullptr, 0, darwin::kMntNowait), count);
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
    std::string long_point = base;
    while (long_point.size() + 201 < 1022) long_point.append("/").append(200, 'a');
    const std::size_t filler = 1022 - long_point.size() - 1;
    long_point.append("/").append(filler, 'b').append("\xC3\xA9");  // é at 1022
    long_point.append("/").append(100, 'c').append("/").append(88, 'd');
    std::string long_source = "lumenstat-disk-";
    long_source.append(1006, 'x').append("\xF0\x9F\x98\x80tail");  // U+1F600 at 1021
    ASSERT_EQ(long_point.size(), 1214u);
    struct Row {
        std::string point, source;
        const char* options;
        std::string want_point, want_source;
        std::uint64_t want_bytes;
    };
    const Row rows[] = {
        {base, "lumenstat-lower", "size=6m", base, "lumenstat-lower", 0},
        {base, "lumenstat-upper", "size=7m", base, "lumenstat-upper", 7 << 20},
        {long_point, long_source, "size=1m", long_point.substr(0, 1022),
         long_source.substr(0, 1021), 1 << 20},
    };

    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(report[0]);
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            ::_exit(120);
        }
        for (const Row& row : rows) {
            std::error_code ignored;
            std::filesystem::create_directories(row.point, ignored);
            if (::mount(row.source.c_str(), row.point.c_str(), "tmpfs", 0, row.options) != 0) {
                ::_exit(121);
            }
        }
        os::LinuxSystem sys;
        std::vector<darwin::statfs> table(sys.getfsstat(nullptr, 0, darwin::kMntNowait) + 8);
        const int filled = sys.getfsstat(
            table.data(), static_cast<int>(table.size() * sizeof table[0]), darwin::kMntNowait);
        for (int i = 0; i < filled; ++i) {
            if (!std::string_view(table[i].f_mntonname).starts_with(base)) continue;
            if (::write(report[1], &table[i], sizeof table[i]) != sizeof table[i]) ::_exit(122);
        }
        ::_exit(0);
    }
    ::close(report[1]);
    std::vector<darwin::statfs> ours;
    darwin::statfs entry{};
    while (::read(report[0], &entry, sizeof entry) == sizeof entry) ours.push_back(entry);
    ::close(report[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::rmdir(name);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(ours.size(), std::size(rows));
    for (std::size_t i = 0; i < ours.size(); ++i) {
        EXPECT_EQ(ours[i].f_mntonname, rows[i].want_point) << i;
        EXPECT_EQ(ours[i].f_mntfromname, rows[i].want_source) << i;
        EXPECT_EQ(std::string_view(ours[i].f_fstypename), "tmpfs") << i;
        EXPECT_EQ(ours[i].f_blocks * ours[i].f_bsize, rows[i].want_bytes) << i;
    }
}

// /sys/block's devices in name order, each counter the device's own, and
// every object released leaves the registry empty.
TEST(IoRegistry, ServicesFollowSysBlock) {
    os::LinuxSystem sys;
    darwin::io_iterator_t iterator = 0;
    ASSERT_EQ(sys.IOServiceGetMatchingServices(0, sys.IOServiceMatching("IOBlockStorageDriver"),
                                               &iterator),
              darwin::KERN_SUCCESS);
    int services = 0;
    while (darwin::io_object_t service = sys.IOIteratorNext(iterator)) {
        ++services;
        darwin::CFMutableDictionaryRef properties = nullptr;
        if (sys.IORegistryEntryCreateCFProperties(service, &properties, nullptr, 0) ==
            darwin::KERN_SUCCESS) {
            darwin::CFStringRef key =
                sys.CFStringCreateWithCString(nullptr, "Statistics", darwin::kCFStringEncodingUTF8);
            EXPECT_NE(sys.CFDictionaryGetValue(properties, key), nullptr);
            EXPECT_EQ(sys.CFDictionaryGetValue(properties, properties), nullptr);  // not a key
            sys.CFRelease(key);
            sys.CFRelease(properties);
        }
        EXPECT_EQ(sys.IOObjectRelease(service), darwin::KERN_SUCCESS);
    }
    EXPECT_EQ(sys.IOObjectRelease(iterator), darwin::KERN_SUCCESS);
    EXPECT_EQ(sys.IOObjectRelease(iterator), static_cast<darwin::kern_return_t>(0xe00002c2));
    EXPECT_EQ(sys.live_registry_objects(), 0u);
    EXPECT_EQ(services, std::distance(std::filesystem::directory_iterator("/sys/block"), {}));

    // Another class matches nothing, and its dictionary is consumed too.
    ASSERT_EQ(sys.IOServiceGetMatchingServices(0, sys.IOServiceMatching("IOMedia"), &iterator),
              darwin::KERN_SUCCESS);
    EXPECT_EQ(sys.IOIteratorNext(iterator), 0u);
    sys.IOObjectRelease(iterator);
    EXPECT_EQ(sys.live_registry_objects(), 0u);
}

}  // namespace
}  // namespace lumenstat::testing
