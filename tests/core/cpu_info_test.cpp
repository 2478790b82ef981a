#include "cpu/cpu_info.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cpu/sysctl_value.h"
#include "support/fake_system.h"

namespace lumenstat {
namespace {

using testing::FakeSystem;
using namespace std::string_literals;

std::string u32_bytes(std::uint32_t v) { return std::string(reinterpret_cast<char*>(&v), 4); }
std::string u64_bytes(std::uint64_t v) { return std::string(reinterpret_cast<char*>(&v), 8); }

// Named values behind Darwin's sysctlbyname protocol: a null buffer asks for
// the size, a short buffer gets ENOMEM, an unknown name ENOENT.
struct Sysctls {
    FakeSystem sys;
    std::map<std::string, std::string> values;
    std::vector<std::string> calls;

    Sysctls() {
        sys.on_sysctlbyname = [this](const char* name, void* old, std::size_t* len, const void*,
                                     std::size_t) {
            calls.push_back(name);
            const auto it = values.find(name);
            if (it == values.end()) {
                errno = ENOENT;
                return -1;
            }
            const std::string& v = it->second;
            if (old == nullptr) {
                *len = v.size();
                return 0;
            }
            if (*len < v.size()) {
                errno = ENOMEM;
                return -1;
            }
            std::memcpy(old, v.data(), v.size());
            *len = v.size();
            return 0;
        };
    }

    void cores(std::uint32_t logical, std::uint32_t physical) {
        values["hw.logicalcpu"] = u32_bytes(logical);
        values["hw.physicalcpu"] = u32_bytes(physical);
    }
};

TEST(CpuInfo, ReadsEveryName) {
    Sysctls s;
    s.cores(8, 4);
    s.values["machdep.cpu.brand_string"] = "Apple M2\0"s;
    s.values["hw.model"] = "Mac14,2\0"s;
    s.values["machdep.cpu.vendor"] = "GenuineIntel\0"s;
    s.values["hw.cpufrequency"] = u64_bytes(3'504'000'000);
    auto info = get_cpu_info(s.sys);
    ASSERT_TRUE(info) << info.error().debug();
    EXPECT_EQ(info->logical_cores, 8u);
    EXPECT_EQ(info->physical_cores, 4u);
    EXPECT_EQ(info->model_name, "Apple M2");
    EXPECT_EQ(info->vendor, "GenuineIntel");
    EXPECT_EQ(info->frequency_mhz, 3504u);
}

TEST(CpuInfo, ModelAndVendorFallbacks) {
    struct Case {
        const char* brand;  // nullptr: name absent
        const char* model;
        const char* want_model;
        const char* want_vendor;
    };
    const Case cases[] = {
        {"Apple M1 Pro", nullptr, "Apple M1 Pro", "Apple"},
        {"The Apple inside", "Mac13,1", "The Apple inside", "Apple"},
        {nullptr, "MacBookPro18,3", "MacBookPro18,3", "Apple"},
        {nullptr, "iMac21,1", "iMac21,1", "Unknown"},    // "Mac" must begin the model
        {"apple m1", nullptr, "apple m1", "Unknown"},    // case-sensitive
        {nullptr, nullptr, "", "Unknown"},
        {"AMD EPYC", "Mac14,2", "AMD EPYC", "Unknown"},  // brand wins over hw.model
    };
    for (const Case& c : cases) {
        Sysctls s;
        s.cores(2, 2);
        if (c.brand != nullptr) s.values["machdep.cpu.brand_string"] = c.brand + "\0"s;
        if (c.model != nullptr) s.values["hw.model"] = c.model + "\0"s;
        auto info = get_cpu_info(s.sys);
        ASSERT_TRUE(info);
        EXPECT_EQ(info->model_name, c.want_model) << c.want_model;
        EXPECT_EQ(info->vendor, c.want_vendor) << c.want_model;
        EXPECT_EQ(info->frequency_mhz, 0u);
    }
}

TEST(CpuInfo, InvalidUtf8BrandFallsBackToModel) {
    Sysctls s;
    s.cores(1, 1);
    s.values["machdep.cpu.brand_string"] = "bad \xff\0"s;
    s.values["hw.model"] = "Mac15,3\0"s;
    auto info = get_cpu_info(s.sys);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->model_name, "Mac15,3");
    EXPECT_EQ(info->vendor, "Apple");
    EXPECT_EQ(sysctl_text(s.sys, "machdep.cpu.brand_string").error(),
              QueryError::parse("Invalid UTF-8 in sysctl string"));
}

TEST(CpuInfo, FrequencyIsWholeMegahertz) {
    const std::pair<std::uint64_t, std::uint64_t> cases[] = {
        {2'400'000'000, 2400}, {999'999, 0}, {1'000'000, 1}, {3'199'999'999, 3199},
        {0xFFFF'FFFF'FFFF'FFFF, 18'446'744'073'709}};
    for (auto [hertz, mhz] : cases) {
        Sysctls s;
        s.cores(1, 1);
        s.values["hw.cpufrequency"] = u64_bytes(hertz);
        EXPECT_EQ(get_cpu_info(s.sys)->frequency_mhz, mhz) << hertz;
    }
}

TEST(CpuInfo, MissingCoreCountFails) {
    Sysctls s;
    s.values["hw.logicalcpu"] = u32_bytes(4);
    EXPECT_EQ(get_cpu_info(s.sys).error(),
              QueryError::sys_call("sysctlbyname hw.physicalcpu failed"));
    s.values.clear();
    EXPECT_EQ(get_cpu_info(s.sys).error(),
              QueryError::sys_call("sysctlbyname hw.logicalcpu failed"));
    EXPECT_EQ(s.calls.back(), "hw.logicalcpu");  // nothing more is asked after the failure
}

TEST(SysctlText, ProbesThenFetchesAndStopsAtNul) {
    Sysctls s;
    s.values["hw.model"] = "Mac\0garbage"s;
    EXPECT_EQ(sysctl_text(s.sys, "hw.model").value(), "Mac");
    s.values["hw.model"] = "NoTerminator"s;
    EXPECT_EQ(sysctl_text(s.sys, "hw.model").value(), "NoTerminator");
    s.values["hw.model"] = ""s;
    EXPECT_EQ(sysctl_text(s.sys, "hw.model").value(), "");
    EXPECT_EQ(s.calls.size(), 6u);  // probe and fetch each time, also for an empty value
}

TEST(SysctlText, ReadsOnlyTheProbedBytes) {
    // A second call that claims more bytes than were probed must not widen the text.
    FakeSystem sys;
    sys.on_sysctlbyname = [](const char*, void* old, std::size_t* len, const void*, std::size_t) {
        if (old == nullptr) {
            *len = 3;
            return 0;
        }
        std::memcpy(old, "abc", 3);
        *len = 100;
        return 0;
    };
    EXPECT_EQ(sysctl_text(sys, "x").value(), "abc");
}

}  // namespace
}  // namespace lumenstat
