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

TEST(CpuInfo, ReadsEveryNameAndWholeMegahertz) {
    const std::pair<std::uint64_t, std::uint64_t> frequencies[] = {
        {3'504'000'000, 3504}, {999'999, 0}, {~0ull, 18'446'744'073'709}};
    for (const auto& [hertz, mhz] : frequencies) {
        Sysctls s;
        s.values["machdep.cpu.brand_string"] = "Apple M2\0"s;
        s.values["hw.model"] = "Mac14,2\0"s;
        s.values["machdep.cpu.vendor"] = "GenuineIntel\0"s;
        s.values["hw.cpufrequency"] = bytes_of(hertz);
        const CpuInfo info = get_cpu_info(s.sys).value();
        EXPECT_EQ(std::tie(info.logical_cores, info.physical_cores, info.model_name, info.vendor),
                  std::tuple(8u, 4u, "Apple M2"s, "GenuineIntel"s));
        EXPECT_EQ(info.frequency_mhz, mhz) << hertz;
    }
}

TEST(CpuInfo, ModelAndVendorFallbacks) {
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
        // brand (nullptr: absent), hw.model, model name, vendor
        {"Virtual Apple M1", nullptr, "Virtual Apple M1", "Apple"},
        {nullptr, "MacBookPro18,3", "MacBookPro18,3", "Apple"},
        {nullptr, "iMac21,1", "iMac21,1", "Unknown"},  // "Mac" must begin the model
        {"apple m1", nullptr, "apple m1", "Unknown"},  // case-sensitive
        {nullptr, nullptr, "", "Unknown"},
        {"AMD EPYC", "Mac14,2", "AMD EPYC", "Unknown"},  // brand wins over hw.model
        {"bad \xff", "Mac15,3", "Mac15,3", "Apple"},     // invalid UTF-8 brand is skipped
    };
    for (const auto& [brand, model, want_model, want_vendor] : cases) {
        Sysctls s;
        if (brand != nullptr) s.values["machdep.cpu.brand_string"] = brand + "\0"s;
        if (model != nullptr) s.values["hw.model"] = model + "\0"s;
        auto info = get_cpu_info(s.sys);
        ASSERT_TRUE(info);
        EXPECT_EQ(info->model_name, want_model) << want_model;
        EXPECT_EQ(info->vendor, want_vendor) << want_model;
        EXPECT_EQ(info->frequency_mhz, 0u);
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
    s.values["hw.model"] = "bad \xff\0"s;
    EXPECT_EQ(sysctl_text(s.sys, "hw.model").error(),
              QueryError::parse("Invalid UTF-8 in sysctl string"));

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
