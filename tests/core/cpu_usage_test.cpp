#include "cpu/cpu_usage.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <limits>
#include <tuple>
#include <vector>

#include "cpu/sleep.h"
#include "support/fake_system.h"

namespace lumenstat {
namespace {

using testing::kMax;
using testing::FakeSystem;
using Ticks = std::vector<darwin::integer_t>;  // user, system, idle, nice of each CPU in turn
using Span = std::pair<long, long>;            // seconds, nanoseconds
using Spans = std::vector<Span>;

// host_processor_info handing out one tick sample per call, failing with
// `failure` once they run out; records what comes back through vm_deallocate
// and what is slept.
struct Host {
    FakeSystem sys;
    std::vector<Ticks> samples;
    darwin::kern_return_t failure = 5;
    darwin::natural_t cpus = 0;  // the count claimed; 0: as many as the ticks hold
    std::size_t next = 0;
    std::vector<std::pair<void*, std::size_t>> released;
    std::vector<Span> sleeps;

    Host() {
        sys.on_host_processor_info = [this](int flavor, darwin::natural_t* count,
                                            darwin::integer_t** info, darwin::natural_t* n) {
            EXPECT_EQ(flavor, darwin::PROCESSOR_CPU_LOAD_INFO);
            if (next == samples.size()) return failure;
            Ticks& ticks = samples[next++];
            *count = cpus != 0 ? cpus : static_cast<darwin::natural_t>(ticks.size() / 4);
            *info = ticks.data();
            *n = static_cast<darwin::natural_t>(ticks.size());
            return darwin::KERN_SUCCESS;
        };
        sys.on_vm_deallocate = [this](void* address, std::size_t size) {
            released.emplace_back(address, size);
            return darwin::KERN_SUCCESS;
        };
        sys.on_nanosleep = [this](const timespec* request, timespec*) {
            sleeps.emplace_back(request->tv_sec, request->tv_nsec);
            return 0;
        };
    }
};

TEST(CpuTimes, WidensCountersWithinTheElementsHandedOverAndReleasesThem) {
    Host h;
    h.samples = {{1, 2, 3, 4, -1, 0, 7, static_cast<darwin::integer_t>(0x80000000u), 9, 9}};
    h.cpus = 5;  // more processors than the ten elements hold
    const auto times = get_cpu_times(h.sys).value();
    ASSERT_EQ(times.size(), 2u);
    const CpuTimes& a = times[0];
    EXPECT_EQ(std::tuple(a.user, a.system, a.idle, a.nice, a.iowait), std::tuple(1, 2, 3, 4, 0));
    EXPECT_EQ(times[1].user, 0xFFFFFFFFu);  // no sign extension
    EXPECT_EQ(times[1].nice, 0x80000000u);
    EXPECT_EQ(h.released, (decltype(h.released){{h.samples[0].data(), 40}}));
}

CpuTimes t(std::uint64_t user, std::uint64_t system, std::uint64_t idle, std::uint64_t nice) {
    return {.user = user, .system = system, .idle = idle, .nice = nice, .iowait = 0};
}

TEST(CpuUsage, ArithmeticOverTickPairs) {
    const std::tuple<const char*, CpuTimes, CpuTimes, double> cases[] = {
        {"entirely idle", t(10, 10, 100, 0), t(10, 10, 200, 0), 0.0},
        {"never idle", t(10, 10, 100, 0), t(60, 50, 100, 10), 100.0},
        {"a quarter busy", t(0, 0, 0, 0), t(10, 10, 60, 0), 25.0},
        {"no tick elapsed", t(5, 5, 5, 5), t(5, 5, 5, 5), 0.0},
        {"total went backwards", t(50, 50, 50, 50), t(10, 10, 10, 10), 0.0},
        {"idle went backwards", t(0, 0, 100, 0), t(30, 0, 90, 0), 100.0},
        {"idle ahead of total", t(100, 0, 0, 0), t(0, 0, 150, 0), 0.0},
    };
    for (const auto& [what, first, second, usage] : cases) {
        EXPECT_EQ(usage_between({first}, {second}), std::vector<double>{usage}) << what;
    }
    // Pairs stop at the shorter sample.
    const std::vector<CpuTimes> two = {t(1, 0, 1, 0), t(0, 0, 4, 0)};
    EXPECT_EQ(usage_between(std::vector<CpuTimes>(3), two), (std::vector<double>{50.0, 0.0}));
    EXPECT_EQ(usage_between(two, std::vector<CpuTimes>(3)).size(), 2u);
}

TEST(CpuUsage, SamplesSleepsAndSamplesAgainReleasingEverySample) {
    Host h;
    h.samples = {{100, 100, 800, 0, 0, 0, 0, 0}, {130, 110, 860, 0, 0, 0, 50, 0}};
    EXPECT_EQ(get_cpu_usage(h.sys, Duration::from_milliseconds(1500)).value(),
              (std::vector<double>{40.0, 0.0}));
    EXPECT_EQ(h.sleeps, (Spans{{1, 500'000'000}}));
    EXPECT_EQ(h.released.size(), 2u);
}

// The nanosleep requests made for `span`: the first `interrupted` calls are
// cut short by a signal with half the request left, then calls fail with
// `fail_errno` if it is set.
Spans sleeps_of(Duration span, int interrupted = 0, int fail_errno = 0) {
    FakeSystem sys;
    Spans requests;
    sys.on_nanosleep = [&](const timespec* request, timespec* remaining) {
        requests.emplace_back(request->tv_sec, request->tv_nsec);
        const bool eintr = static_cast<int>(requests.size()) <= interrupted;
        if (eintr) *remaining = {request->tv_sec / 2, request->tv_nsec / 2};
        errno = eintr ? EINTR : fail_errno;
        return errno == 0 ? 0 : -1;
    };
    sleep_for(sys, span);
    return requests;
}

TEST(Sleep, ResumesAfterSignalsAndSleepsLongSpansInPieces) {
    EXPECT_EQ(sleeps_of({8, 400}, 2), (Spans{{8, 400}, {4, 200}, {2, 100}}));
    EXPECT_EQ(sleeps_of({1, 2'500'000'000u}), (Spans{{3, 500'000'000}}));
    constexpr long kSigned = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(sleeps_of({kMax, 7}), (Spans{{kSigned, 0}, {kSigned, 0}, {1, 7}}));
    // The longest span in milliseconds converts without overflow.
    EXPECT_EQ(sleeps_of(Duration::from_milliseconds(kMax)),
              (Spans{{18'446'744'073'709'551, 615'000'000}}));
    EXPECT_TRUE(sleeps_of({}).empty());
    // Any other failure ends the sleep rather than retrying or sleeping on.
    EXPECT_EQ(sleeps_of({1, 0}, 0, EINVAL).size(), 1u);
    EXPECT_EQ(sleeps_of({kMax, 0}, 0, EINVAL).size(), 1u);
}

}  // namespace
}  // namespace lumenstat
