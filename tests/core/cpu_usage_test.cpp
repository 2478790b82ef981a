#include "cpu/cpu_usage.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <limits>
#include <vector>

#include "cpu/sleep.h"
#include "support/fake_system.h"

namespace lumenstat {
namespace {

using testing::FakeSystem;
using Ticks = std::vector<std::vector<darwin::integer_t>>;  // per CPU: user, system, idle, nice

// host_processor_info serving one tick sample per call, recording what is
// handed back through vm_deallocate.
struct Host {
    FakeSystem sys;
    std::vector<Ticks> samples;
    std::size_t next = 0;
    std::vector<darwin::integer_t> array;
    std::vector<std::pair<void*, std::size_t>> released;
    std::vector<timespec> sleeps;

    Host() {
        sys.on_host_processor_info = [this](int flavor, darwin::natural_t* count,
                                            darwin::integer_t** info, darwin::natural_t* n) {
            EXPECT_EQ(flavor, darwin::PROCESSOR_CPU_LOAD_INFO);
            const Ticks& sample = samples.at(next++);
            array.clear();
            for (const auto& cpu : sample) array.insert(array.end(), cpu.begin(), cpu.end());
            *count = static_cast<darwin::natural_t>(sample.size());
            *info = array.data();
            *n = static_cast<darwin::natural_t>(array.size());
            return darwin::KERN_SUCCESS;
        };
        sys.on_vm_deallocate = [this](void* address, std::size_t size) {
            released.emplace_back(address, size);
            return darwin::KERN_SUCCESS;
        };
        sys.on_nanosleep = [this](const timespec* request, timespec*) {
            sleeps.push_back(*request);
            return 0;
        };
    }
};

TEST(CpuTimes, WidensCountersAndReleasesTheArray) {
    Host h;
    h.samples = {{{1, 2, 3, 4}, {-1, 0, 7, static_cast<darwin::integer_t>(0x80000000u)}}};
    auto times = get_cpu_times(h.sys);
    ASSERT_TRUE(times);
    ASSERT_EQ(times->size(), 2u);
    EXPECT_EQ((*times)[0].user, 1u);
    EXPECT_EQ((*times)[0].system, 2u);
    EXPECT_EQ((*times)[0].idle, 3u);
    EXPECT_EQ((*times)[0].nice, 4u);
    EXPECT_EQ((*times)[1].user, 0xFFFFFFFFu);  // no sign extension
    EXPECT_EQ((*times)[1].nice, 0x80000000u);
    for (const CpuTimes& t : *times) EXPECT_EQ(t.iowait, 0u);
    ASSERT_EQ(h.released.size(), 1u);
    EXPECT_EQ(h.released[0].first, h.array.data());
    EXPECT_EQ(h.released[0].second, 32u);
}

TEST(CpuTimes, NeverReadsPastTheElementsHandedOver) {
    Host h;
    h.sys.on_host_processor_info = [&](int, darwin::natural_t* count, darwin::integer_t** info,
                                       darwin::natural_t* n) {
        h.array = {5, 6, 7, 8, 9, 9};
        *count = 4;  // claims more processors than the six elements hold
        *info = h.array.data();
        *n = 6;
        return darwin::KERN_SUCCESS;
    };
    auto times = get_cpu_times(h.sys);
    ASSERT_TRUE(times);
    ASSERT_EQ(times->size(), 1u);
    EXPECT_EQ((*times)[0].nice, 8u);
    EXPECT_EQ(h.released.at(0).second, 24u);
}

TEST(CpuTimes, HostFailureIsSysCall) {
    FakeSystem sys;
    sys.on_host_processor_info = [](int, darwin::natural_t*, darwin::integer_t**,
                                    darwin::natural_t*) { return -305; };
    EXPECT_EQ(get_cpu_times(sys).error(),
              QueryError::sys_call("host_processor_info failed with error -305"));
}

CpuTimes t(std::uint64_t user, std::uint64_t system, std::uint64_t idle, std::uint64_t nice) {
    return {.user = user, .system = system, .idle = idle, .nice = nice, .iowait = 0};
}

TEST(CpuUsage, ArithmeticOverTickPairs) {
    struct Case {
        const char* what;
        CpuTimes first, second;
        double usage;
    };
    const Case cases[] = {
        {"entirely idle", t(10, 10, 100, 0), t(10, 10, 200, 0), 0.0},
        {"never idle", t(10, 10, 100, 0), t(60, 50, 100, 10), 100.0},
        {"a quarter busy", t(0, 0, 0, 0), t(10, 10, 60, 0), 25.0},
        {"no tick elapsed", t(5, 5, 5, 5), t(5, 5, 5, 5), 0.0},
        {"total went backwards", t(50, 50, 50, 50), t(10, 10, 10, 10), 0.0},
        {"idle went backwards", t(0, 0, 100, 0), t(30, 0, 90, 0), 100.0},
        {"idle ahead of total", t(100, 0, 0, 0), t(0, 0, 150, 0), 0.0},
    };
    for (const Case& c : cases) {
        const auto usage = usage_between({c.first}, {c.second});
        ASSERT_EQ(usage.size(), 1u);
        EXPECT_DOUBLE_EQ(usage[0], c.usage) << c.what;
    }
}

TEST(CpuUsage, StopsAtTheShorterSample) {
    const std::vector<CpuTimes> three = {t(0, 0, 0, 0), t(0, 0, 0, 0), t(0, 0, 0, 0)};
    const std::vector<CpuTimes> two = {t(1, 0, 1, 0), t(0, 0, 4, 0)};
    EXPECT_EQ(usage_between(three, two), (std::vector<double>{50.0, 0.0}));
    EXPECT_EQ(usage_between(two, three).size(), 2u);
}

TEST(CpuUsage, SamplesSleepsAndSamplesAgain) {
    Host h;
    h.samples = {{{100, 100, 800, 0}, {0, 0, 0, 0}}, {{130, 110, 860, 0}, {0, 0, 50, 0}}};
    auto usage = get_cpu_usage(h.sys, Duration::from_milliseconds(1500));
    ASSERT_TRUE(usage);
    EXPECT_EQ(*usage, (std::vector<double>{40.0, 0.0}));
    ASSERT_EQ(h.sleeps.size(), 1u);
    EXPECT_EQ(h.sleeps[0].tv_sec, 1);
    EXPECT_EQ(h.sleeps[0].tv_nsec, 500'000'000);
    EXPECT_EQ(h.released.size(), 2u);
}

TEST(CpuUsage, SecondSampleFailurePassesOnAndReleasesTheFirst) {
    Host h;
    h.samples = {{{1, 1, 1, 1}}};
    auto inner = h.sys.on_host_processor_info;
    h.sys.on_host_processor_info = [&](int f, darwin::natural_t* c, darwin::integer_t** i,
                                       darwin::natural_t* n) {
        return h.next == 0 ? inner(f, c, i, n) : 5;
    };
    EXPECT_EQ(get_cpu_usage(h.sys, Duration::from_milliseconds(0)).error(),
              QueryError::sys_call("host_processor_info failed with error 5"));
    EXPECT_EQ(h.released.size(), 1u);
    EXPECT_TRUE(h.sleeps.empty());
}

TEST(SampleDuration, MillisecondsConversion) {
    const auto half = Duration::from_milliseconds(500);
    EXPECT_EQ(half.seconds, 0u);
    EXPECT_EQ(half.nanoseconds, 500'000'000u);
    EXPECT_DOUBLE_EQ(half.as_seconds(), 0.5);
    const auto zero = Duration::from_milliseconds(0);
    EXPECT_TRUE(zero.is_zero());
    EXPECT_EQ(zero.as_seconds(), 0.0);
    const auto largest = Duration::from_milliseconds(std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(largest.seconds, 18'446'744'073'709'551u);
    EXPECT_EQ(largest.nanoseconds, 615'000'000u);
}

TEST(Sleep, ResumesWithTheRemainingTimeAfterEintr) {
    FakeSystem sys;
    std::vector<timespec> requests;
    sys.on_nanosleep = [&](const timespec* request, timespec* remaining) {
        requests.push_back(*request);
        if (requests.size() < 3) {
            *remaining = {request->tv_sec / 2, request->tv_nsec / 2};
            errno = EINTR;
            return -1;
        }
        return 0;
    };
    sleep_for(sys, {.seconds = 8, .nanoseconds = 400});
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].tv_sec, 4);
    EXPECT_EQ(requests[1].tv_nsec, 200);
    EXPECT_EQ(requests[2].tv_sec, 2);
    EXPECT_EQ(requests[2].tv_nsec, 100);
}

TEST(Sleep, ZeroMakesNoCallAndOtherErrorsEndTheSleep) {
    FakeSystem sys;
    int calls = 0;
    sys.on_nanosleep = [&](const timespec*, timespec*) {
        ++calls;
        errno = EINVAL;
        return -1;
    };
    sleep_for(sys, {});
    EXPECT_EQ(calls, 0);
    sleep_for(sys, {.seconds = 1, .nanoseconds = 0});
    EXPECT_EQ(calls, 1);
}

TEST(Sleep, SpansBeyondSignedSecondsAreSleptInPieces) {
    FakeSystem sys;
    std::vector<timespec> requests;
    sys.on_nanosleep = [&](const timespec* request, timespec*) {
        requests.push_back(*request);
        return 0;
    };
    constexpr auto kMaxSigned = std::numeric_limits<std::int64_t>::max();
    sleep_for(sys, {.seconds = std::numeric_limits<std::uint64_t>::max(), .nanoseconds = 7});
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].tv_sec, kMaxSigned);
    EXPECT_EQ(requests[0].tv_nsec, 0);
    EXPECT_EQ(requests[1].tv_sec, kMaxSigned);
    EXPECT_EQ(requests[2].tv_sec, 1);
    EXPECT_EQ(requests[2].tv_nsec, 7);
}

}  // namespace
}  // namespace lumenstat
