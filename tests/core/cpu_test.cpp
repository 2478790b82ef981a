// The CPU queries' arithmetic: tick counters, usage between two samples, the
// sleep between them, and the processor's names.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "core/answer_text.h"
#include "core/whole_machine.h"
#include "cpu/cpu_info.h"
#include "cpu/cpu_usage.h"
#include "cpu/sleep.h"
#include "cpu/sysctl_value.h"

namespace lumenstat {
namespace {

using testing::kMax;
using testing::words;
using Spans = std::vector<std::pair<long, long>>;  // seconds, nanoseconds
using namespace std::string_literals;

TEST(CpuTimes, WidensCountersWithinTheElementsHandedOverAndReleasesThem) {
    testing::FakeSystem sys;
    darwin::integer_t ticks[] = {1, 2, 3, 4, -1, 0, 7, INT_MIN, 9, 9};
    std::vector<std::pair<void*, std::size_t>> released;
    sys.on_host_processor_info = [&](int, darwin::natural_t* cpus, darwin::integer_t** info,
                                     darwin::natural_t* count) {
        *cpus = 5;  // more processors than the ten elements hold
        *info = ticks;
        *count = 10;
        return darwin::KERN_SUCCESS;
    };
    sys.on_vm_deallocate = [&](void* address, std::size_t size) {
        released.emplace_back(address, size);
        return darwin::KERN_SUCCESS;
    };
    std::string got;
    for (const CpuTimes& t : std::vector(get_cpu_times(sys).value())) {
        got += words(t.user, t.system, t.idle, t.nice, t.iowait) + "; ";
    }
    EXPECT_EQ(got, "1 2 3 4 0; 4294967295 0 7 2147483648 0; ");  // no sign extension
    EXPECT_EQ(released, (std::vector<std::pair<void*, std::size_t>>{{ticks, 40}}));
}

CpuTimes t(std::uint64_t user, std::uint64_t system, std::uint64_t idle, std::uint64_t nice) {
    return {.user = user, .system = system, .idle = idle, .nice = nice, .iowait = 0};
}

TEST(CpuUsage, ArithmeticOverTickPairs) {
    const std::tuple<const char*, CpuTimes, CpuTimes, double> cases[] = {
        {"entirely idle", t(10, 10, 100, 0), t(10, 10, 200, 0), 0.0},
        {"never idle", t(10, 10, 100, 0), t(60, 50, 100, 10), 100.0},
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

// The nanosleep requests made for `span`: the first `interrupted` calls are
// cut short by a signal with half the request left, then calls fail with
// `fail_errno` if it is set.
Spans sleeps_of(Duration span, int interrupted = 0, int fail_errno = 0) {
    testing::FakeSystem sys;
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
    EXPECT_EQ(sleeps_of({kMax, 0}, 0, EINVAL).size(), 1u);
}

TEST(CpuInfo, NamesTheirFallbacksAndWholeMegahertz) {
    struct Case {
        const char *brand, *model, *vendor;  // nullptr: the name is absent
        std::uint64_t hertz;                 // 0: absent
        const char* info;                    // model, vendor, megahertz
    };
    const Case cases[] = {
        {"Apple M2", "Mac14,2", "GenuineIntel", 3'504'000'000, "Apple M2 GenuineIntel 3504"},
        {"Virtual Apple M1", nullptr, nullptr, 999'999, "Virtual Apple M1 Apple 0"},
        {nullptr, "MacBookPro18,3", nullptr, ~0ull, "MacBookPro18,3 Apple 18446744073709"},
        {nullptr, "iMac21,1", nullptr, 0, "iMac21,1 Unknown 0"},  // "Mac" must begin the model
        {"apple m1", nullptr, nullptr, 0, "apple m1 Unknown 0"},  // case-sensitive
        {nullptr, nullptr, nullptr, 0, " Unknown 0"},
        {"AMD EPYC", "Mac14,2", nullptr, 0, "AMD EPYC Unknown 0"},  // brand wins over hw.model
        {"bad \xff", "Mac15,3", nullptr, 0, "Mac15,3 Apple 0"},     // invalid UTF-8 brand skipped
    };
    for (const Case& c : cases) {
        testing::WholeMachine m;
        const std::pair<const char*, const char*> values[] = {{"machdep.cpu.brand_string", c.brand},
                                                              {"hw.model", c.model},
                                                              {"machdep.cpu.vendor", c.vendor}};
        for (const auto& [name, value] : values) {
            if (value)
                m.sysctls[name] = value + "\0"s;
            else
                m.sysctls.erase(name);
        }
        m.sysctls.erase("hw.cpufrequency");
        if (c.hertz)
            m.sysctls["hw.cpufrequency"].assign(reinterpret_cast<const char*>(&c.hertz), 8);
        const CpuInfo info = get_cpu_info(m.sys).value();
        EXPECT_EQ(words(info.logical_cores, info.physical_cores, info.model_name, info.vendor,
                        info.frequency_mhz),
                  "8 4 " + std::string(c.info));
    }
    testing::WholeMachine m;
    m.sysctls.erase("hw.physicalcpu");
    EXPECT_EQ(get_cpu_info(m.sys).error(),
              QueryError::sys_call("sysctlbyname hw.physicalcpu failed"));
    // A text ends at its NUL, or at the end of the probed bytes without one.
    for (const auto& [value, text] : {std::pair{"Mac\0garbage"s, "Mac"}, {"Mac"s, "Mac"}}) {
        m.sysctls["hw.model"] = value;
        EXPECT_EQ(sysctl_text(m.sys, "hw.model").value(), text);
    }
    // A fetch that claims more bytes than were probed must not widen the text.
    m.sys.on_sysctlbyname = [](const char*, void* old, std::size_t* len, const void*, std::size_t) {
        if (old != nullptr) std::memcpy(old, "abc", 3);
        *len = old != nullptr ? 100 : 3;
        return 0;
    };
    EXPECT_EQ(sysctl_text(m.sys, "x").value(), "abc");
}

}  // namespace
}  // namespace lumenstat
