// sysctlbyname for the CPU identity names, answered from /proc/cpuinfo, the
// CPU topology and cpufreq in /sys, and the DMI product name. A name Linux has
// no source for fails as an unknown name does on Darwin (ENOENT).
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "os/linux/cpu/cpu_parse.h"
#include "os/linux/linux_system.h"
#include "os/linux/proc_files.h"
#include "os/linux/query_scope.h"

namespace lumenstat::os {

namespace {

using linux_cpu::CpuIdentity;
using linux_cpu::CpuinfoSummary;
using linux_cpu::mhz_text_to_hz;
using linux_cpu::parse_cpu_list;
using linux_cpu::parse_cpuinfo;
using linux_cpu::trim_end;

bool read_text(const char* path, std::string& out) { return procfs::read_file(path, out); }

std::vector<unsigned> online_cpus() {
    std::string text;
    if (read_text("/sys/devices/system/cpu/online", text)) {
        auto cpus = parse_cpu_list(text);
        if (!cpus.empty()) return cpus;
    }
    const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
    std::vector<unsigned> cpus;
    for (long cpu = 0; cpu < std::max(count, 1L); ++cpu) cpus.push_back(static_cast<unsigned>(cpu));
    return cpus;
}

// A file holding one decimal number, as sysfs attributes do.
std::optional<long long> read_number(const std::string& path) {
    std::string text;
    if (!read_text(path.c_str(), text)) return std::nullopt;
    std::string_view rest = text;
    std::int64_t value = 0;
    if (!procfs::parse_i64(rest, value) || !trim_end(rest).empty()) return std::nullopt;
    return value;
}

std::string cpu_dir(unsigned cpu) { return "/sys/devices/system/cpu/cpu" + std::to_string(cpu); }

// Distinct (package, core) pairs of the given CPUs from the sysfs topology;
// without a readable topology every CPU counts as a core.
std::uint32_t topology_cores(const std::vector<unsigned>& cpus) {
    std::vector<std::pair<long long, long long>> cores;
    for (unsigned cpu : cpus) {
        const std::string topology = cpu_dir(cpu) + "/topology/";
        const auto package = read_number(topology + "physical_package_id");
        const auto core = read_number(topology + "core_id");
        if (package && core) cores.emplace_back(*package, *core);
    }
    if (cores.empty()) return static_cast<std::uint32_t>(cpus.size());
    std::sort(cores.begin(), cores.end());
    return static_cast<std::uint32_t>(std::unique(cores.begin(), cores.end()) - cores.begin());
}

std::optional<std::string> dmi_product_name() {
    std::string text;
    if (!read_text("/sys/class/dmi/id/product_name", text)) return std::nullopt;
    const std::string_view name = trim_end(text);
    if (name.empty()) return std::nullopt;
    return std::string(name);
}

// cpufreq's upper limit (the figure other Linux tools report as the maximum
// frequency), else the hardware maximum; nullopt without cpufreq.
std::optional<std::uint64_t> cpufreq_hz(unsigned cpu) {
    const std::string dir = cpu_dir(cpu) + "/cpufreq/";
    for (const char* name : {"scaling_max_freq", "cpuinfo_max_freq"}) {
        errno = 0;
        if (const auto khz = read_number(dir + name); khz && *khz > 0) {
            return static_cast<std::uint64_t>(*khz) * 1000;
        }
        if (errno == ENOENT) return std::nullopt;  // no cpufreq at all
    }
    return std::nullopt;
}

// /proc/cpuinfo lists the online processors; the first one names the model,
// vendor and clock, and every one its package and core where the
// architecture reports them (else the sysfs topology answers).
CpuIdentity read_identity() {
    CpuIdentity id;
    std::string text;
    CpuinfoSummary cpuinfo;
    if (read_text("/proc/cpuinfo", text)) cpuinfo = parse_cpuinfo(text);
    if (cpuinfo.cpus.empty()) {
        cpuinfo.cpus = online_cpus();
        cpuinfo.cores = 0;
    }
    id.logical = static_cast<std::uint32_t>(cpuinfo.cpus.size());
    id.physical = cpuinfo.cores != 0 ? cpuinfo.cores : topology_cores(cpuinfo.cpus);
    id.brand = std::move(cpuinfo.brand);
    id.vendor = std::move(cpuinfo.vendor);
    id.hertz = cpufreq_hz(cpuinfo.cpus.front());
    if (!id.hertz && cpuinfo.mhz) id.hertz = mhz_text_to_hz(*cpuinfo.mhz);
    id.model = dmi_product_name();
    return id;
}

constexpr std::string_view kNames[] = {"hw.logicalcpu",      "hw.physicalcpu",
                                       "hw.cpufrequency",    "machdep.cpu.brand_string",
                                       "machdep.cpu.vendor", "hw.model"};

// The identity kept by the open query scope (one get_cpu_info asks for six
// names, each a size probe and a fetch), or else read now into `own`.
const CpuIdentity& identity(std::optional<CpuIdentity>& own) {
    linux_scope::Scope* scope = linux_scope::current();
    std::optional<CpuIdentity>& kept = scope != nullptr ? scope->cpu : own;
    if (!kept) kept = read_identity();
    return *kept;
}

int fail(int code) {
    errno = code;
    return -1;
}

// Darwin's protocol for reading a value: no buffer asks for the size; a
// buffer too small gets what fits and ENOMEM; the length becomes the size.
int answer(const void* value, std::size_t size, void* oldp, std::size_t* oldlenp) {
    if (oldlenp == nullptr) return fail(EINVAL);
    if (oldp == nullptr) {
        *oldlenp = size;
        return 0;
    }
    const std::size_t room = *oldlenp;
    std::memcpy(oldp, value, std::min(room, size));
    *oldlenp = size;
    return room < size ? fail(ENOMEM) : 0;
}

int answer_text(const std::optional<std::string>& text, void* oldp, std::size_t* oldlenp) {
    if (!text) return fail(ENOENT);
    return answer(text->c_str(), text->size() + 1, oldp, oldlenp);
}

}  // namespace

int LinuxSystem::sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, const void* newp,
                              std::size_t newlen) {
    if (name == nullptr) return fail(EINVAL);
    const std::string_view key = name;
    const auto* found = std::find(std::begin(kNames), std::end(kNames), key);
    if (found == std::end(kNames)) return fail(ENOENT);
    if (newp != nullptr || newlen != 0) return fail(EPERM);

    std::optional<CpuIdentity> own;
    const CpuIdentity& id = identity(own);
    if (key == "hw.logicalcpu" || key == "hw.physicalcpu") {
        const auto count = static_cast<std::int32_t>(key == "hw.logicalcpu" ? id.logical
                                                                             : id.physical);
        return answer(&count, sizeof count, oldp, oldlenp);
    }
    if (key == "hw.cpufrequency") {
        if (!id.hertz) return fail(ENOENT);
        const auto value = static_cast<std::int64_t>(*id.hertz);
        return answer(&value, sizeof value, oldp, oldlenp);
    }
    if (key == "machdep.cpu.brand_string") return answer_text(id.brand, oldp, oldlenp);
    if (key == "machdep.cpu.vendor") return answer_text(id.vendor, oldp, oldlenp);
    return answer_text(id.model, oldp, oldlenp);
}

}  // namespace lumenstat::os
