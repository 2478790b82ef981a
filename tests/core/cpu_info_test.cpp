#include "cpu/cpu_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "core/whole_machine.h"
#include "cpu/sysctl_value.h"

namespace lumenstat {
namespace {

using namespace std::string_literals;

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
        testing::WholeMachine m;
        auto text = [](const char* v) { return v ? std::optional(v + "\0"s) : std::nullopt; };
        const std::pair<const char*, std::optional<std::string>> values[] = {
            {"machdep.cpu.brand_string", text(c.brand)},
            {"hw.model", text(c.model)},
            {"machdep.cpu.vendor", text(c.vendor)},
            {"hw.cpufrequency", c.hertz ? std::optional(std::string(
                                              reinterpret_cast<const char*>(&c.hertz), 8))
                                        : std::nullopt}};
        for (const auto& [name, value] : values) {
            if (value) m.sysctls[name] = *value;
            else m.sysctls.erase(name);
        }
        const CpuInfo info = get_cpu_info(m.sys).value();
        EXPECT_EQ(std::tie(info.logical_cores, info.physical_cores, info.model_name, info.vendor,
                           info.frequency_mhz),
                  std::tuple(8u, 4u, std::string(c.want_model), std::string(c.want_vendor), c.mhz))
            << c.want_model;
    }
    testing::WholeMachine m;
    m.sysctls.erase("hw.physicalcpu");
    EXPECT_EQ(get_cpu_info(m.sys).error(),
              QueryError::sys_call("sysctlbyname hw.physicalcpu failed"));
}

TEST(SysctlText, KeepsTheTextUpToNulWithinTheProbedBytes) {
    testing::WholeMachine m;
    const std::pair<std::string, std::string> cases[] = {
        {"Mac\0garbage"s, "Mac"}, {"NoTerminator", "NoTerminator"}, {"", ""}};
    for (const auto& [value, text] : cases) {
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
