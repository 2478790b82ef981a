#include "cpu/cpu_info.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "cpu/sysctl_value.h"
#include "support/fake_system.h"

namespace lumenstat {
namespace {

using testing::FakeSystem;
using namespace std::string_literals;

template <class T>
std::string bytes_of(T v) {
    return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}

// Named values behind sysctlbyname; an unknown name fails with ENOENT.
struct Sysctls {
    FakeSystem sys;
    std::map<std::string, std::string> values{{"hw.logicalcpu", bytes_of(8u)},
                                              {"hw.physicalcpu", bytes_of(4u)}};
    std::vector<std::string> calls;

    Sysctls() {
        sys.on_sysctlbyname = [this](const char* name, void* old, std::size_t* len, const void*,
                                     std::size_t) {
            calls.push_back(name);
            if (!values.contains(name)) return errno = ENOENT, -1;
            return testing::answer_sized(values[name], old, len);
        };
    }
};

TEST(CpuInfo, NamesTheirFallbacksAndWholeMegahertz) {
    struct Case {
        const char *brand, *model, *vendor;  // nullptr: the name is absent
        std::uint64_t hertz;                 // 0: absent
        const char *want_model, *want_vendor;
        std::uint64_t mhz;
    };
    const Case cases[] = {
        {"Apple M2", "Mac14,2", "GenuineIntel", 3'504'000'000, "Apple M2", "GenuineIntel", 3504},
        {"Virtual Apple M1", nullptr, nullptr, 999'999, "Virtual Apple M1", "Apple", 0},
        {nullptr, "MacBookPro18,3", nullptr, ~0ull, "MacBookPro18,3", "Apple", 18'446'744'073'709},
        {nullptr, "iMac21,1", nullptr, 0, "iMac21,1", "Unknown", 0},  // "Mac" must begin the model
        {"apple m1", nullptr, nullptr, 0, "apple m1", "Unknown", 0},  // case-sensitive
        {nullptr, nullptr, nullptr, 0, "", "Unknown", 0},
        {"AMD EPYC", "Mac14,2", nullptr, 0, "AMD EPYC", "Unknown", 0},  // brand wins over hw.model
        {"bad \xff", "Mac15,3", nullptr, 0, "Mac15,3", "Apple", 0},  // invalid UTF-8 brand skipped
    };
    for (const Case& c : cases) {
        Sysctls s;
        if (c.brand != nullptr) s.values["machdep.cpu.brand_string"] = c.brand + "\0"s;
        if (c.model != nullptr) s.values["hw.model"] = c.model + "\0"s;
        if (c.vendor != nullptr) s.values["machdep.cpu.vendor"] = c.vendor + "\0"s;
        if (c.hertz != 0) s.values["hw.cpufrequency"] = bytes_of(c.hertz);
        const CpuInfo info = get_cpu_info(s.sys).value();
        EXPECT_EQ(std::tie(info.logical_cores, info.physical_cores, info.model_name, info.vendor,
                           info.frequency_mhz),
                  std::tuple(8u, 4u, std::string(c.want_model), std::string(c.want_vendor), c.mhz))
            << c.want_model;
    }
}

TEST(CpuInfo, MissingCoreCountFails) {
    Sysctls s;
    s.values.erase("hw.physicalcpu");
    EXPECT_EQ(get_cpu_info(s.sys).error(),
              QueryError::sys_call("sysctlbyname hw.physicalcpu failed"));
    s.values.clear();
    EXPECT_EQ(get_cpu_info(s.sys).error(),
              QueryError::sys_call("sysctlbyname hw.logicalcpu failed"));
    EXPECT_EQ(s.calls.back(), "hw.logicalcpu");  // nothing more is asked after the failure
}

TEST(SysctlText, ProbesFetchesAndKeepsTheTextUpToNulWithinTheProbedBytes) {
    Sysctls s;
    const std::pair<std::string, std::string> cases[] = {
        {"Mac\0garbage"s, "Mac"}, {"NoTerminator", "NoTerminator"}, {"", ""}};
    for (const auto& [value, text] : cases) {
        s.values["hw.model"] = value;
        EXPECT_EQ(sysctl_text(s.sys, "hw.model").value(), text);
    }
    EXPECT_EQ(s.calls.size(), 6u);  // probe and fetch each time, also for an empty value

    // A fetch that claims more bytes than were probed must not widen the text.
    s.sys.on_sysctlbyname = [](const char*, void* old, std::size_t* len, const void*, std::size_t) {
        if (old != nullptr) std::memcpy(old, "abc", 3);
        *len = old != nullptr ? 100 : 3;
        return 0;
    };
    EXPECT_EQ(sysctl_text(s.sys, "x").value(), "abc");
}

}  // namespace
}  // namespace lumenstat
