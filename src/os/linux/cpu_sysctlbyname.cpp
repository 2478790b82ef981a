// sysctlbyname for the CPU identity names, answered from /proc/cpuinfo, the
// CPU topology and cpufreq in /sys, and the DMI product name. A name Linux has
// no source for fails as an unknown name does on Darwin (ENOENT).
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "os/linux/cpu_read.h"
#include "os/linux/linux_system.h"

namespace lumenstat::os {

namespace {

using linux_cpu::read_text;
using linux_cpu::trim_end;

// "0-3,6,8-9" -> {0,1,2,3,6,8,9}
std::vector<unsigned> parse_cpu_list(std::string_view text) {
    std::vector<unsigned> cpus;
    text = trim_end(text);
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        unsigned first = 0;
        unsigned last = 0;
        std::size_t i = 0;
        bool digits = false;
        for (; i < item.size() && item[i] >= '0' && item[i] <= '9'; ++i, digits = true) {
            first = first * 10 + static_cast<unsigned>(item[i] - '0');
        }
        if (!digits || first > 1u << 20) return {};
        last = first;
        if (i < item.size() && item[i] == '-') {
            last = 0;
            digits = false;
            for (++i; i < item.size() && item[i] >= '0' && item[i] <= '9'; ++i, digits = true) {
                last = last * 10 + static_cast<unsigned>(item[i] - '0');
            }
            if (!digits || last < first || last > 1u << 20) return {};
        }
        if (i != item.size()) return {};
        for (unsigned cpu = first; cpu <= last; ++cpu) cpus.push_back(cpu);
    }
    return cpus;
}

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

std::optional<long long> read_number(const std::string& path) {
    std::string text;
    if (!read_text(path.c_str(), text)) return std::nullopt;
    const std::string_view digits = trim_end(text);
    if (digits.empty()) return std::nullopt;
    long long value = 0;
    bool negative = false;
    std::size_t i = 0;
    if (digits[0] == '-') {
        negative = true;
        i = 1;
    }
    if (i == digits.size()) return std::nullopt;
    for (; i < digits.size(); ++i) {
        if (digits[i] < '0' || digits[i] > '9' || value > (1LL << 56)) return std::nullopt;
        value = value * 10 + (digits[i] - '0');
    }
    return negative ? -value : value;
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

// "2096.035" (MHz) -> 2096035000 Hz
std::optional<std::uint64_t> mhz_text_to_hz(std::string_view text) {
    std::uint64_t mhz = 0;
    std::size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (mhz > 1000000000) return std::nullopt;
        mhz = mhz * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    if (i == 0) return std::nullopt;
    std::uint64_t hz = mhz * 1000000;
    if (i < text.size() && text[i] == '.') {
        std::uint64_t scale = 100000;
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9' && scale > 0; ++i) {
            hz += static_cast<std::uint64_t>(text[i] - '0') * scale;
            scale /= 10;
        }
    }
    return hz;
}

std::optional<long long> parse_decimal(std::string_view digits) {
    if (digits.empty() || digits.size() > 18) return std::nullopt;
    long long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Everything the identity names answer, read together: one get_cpu_info
// asks for six names in a row, and /proc/cpuinfo holds most of them.
struct CpuIdentity {
    std::uint32_t logical = 0;
    std::uint32_t physical = 0;
    std::optional<std::string> brand;   // "model name" of the first processor
    std::optional<std::string> vendor;  // "vendor_id"
    std::optional<std::string> model;   // DMI product name
    std::optional<std::uint64_t> hertz;
    std::uint64_t read_at_ns = 0;
    std::uint8_t served = 0;  // names already fetched from this reading
};

// One "key<blanks>: value" line of /proc/cpuinfo.
bool split_field(std::string_view line, std::string_view& key, std::string_view& value) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    key = trim_end(line.substr(0, colon));
    value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    value = trim_end(value);
    return true;
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
    std::vector<unsigned> cpus;
    std::vector<std::pair<long long, long long>> cores;
    bool every_cpu_placed = true;
    std::optional<std::string> mhz;
    if (read_text("/proc/cpuinfo", text)) {
        std::optional<long long> package, core;
        bool in_record = false;
        const auto close_record = [&] {
            if (!in_record) return;
            if (package && core) {
                cores.emplace_back(*package, *core);
            } else {
                every_cpu_placed = false;
            }
            package.reset();
            core.reset();
            in_record = false;
        };
        std::string_view rest = text;
        while (!rest.empty()) {
            const std::size_t newline = rest.find('\n');
            const std::string_view line = rest.substr(0, newline);
            rest = newline == std::string_view::npos ? std::string_view{} : rest.substr(newline + 1);
            std::string_view key, value;
            if (!split_field(line, key, value)) continue;
            if (key == "processor") {
                close_record();
                if (const auto n = parse_decimal(value)) {
                    cpus.push_back(static_cast<unsigned>(*n));
                    in_record = true;
                }
            } else if (key == "physical id") {
                package = parse_decimal(value);
            } else if (key == "core id") {
                core = parse_decimal(value);
            } else if (cpus.size() <= 1) {
                if (key == "model name" && !id.brand) id.brand = std::string(value);
                if (key == "vendor_id" && !id.vendor) id.vendor = std::string(value);
                if (key == "cpu MHz" && !mhz) mhz = std::string(value);
            }
        }
        close_record();
    }
    if (cpus.empty()) {
        cpus = online_cpus();
        every_cpu_placed = false;
    }
    id.logical = static_cast<std::uint32_t>(cpus.size());
    if (every_cpu_placed && !cores.empty()) {
        std::sort(cores.begin(), cores.end());
        id.physical =
            static_cast<std::uint32_t>(std::unique(cores.begin(), cores.end()) - cores.begin());
    } else {
        id.physical = topology_cores(cpus);
    }
    id.hertz = cpufreq_hz(cpus.front());
    if (!id.hertz && mhz) id.hertz = mhz_text_to_hz(*mhz);
    id.model = dmi_product_name();
    return id;
}

std::uint64_t monotonic_now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

// The six names, in the order of the bits of CpuIdentity::served.
constexpr std::string_view kNames[] = {"hw.logicalcpu",      "hw.physicalcpu",
                                       "hw.cpufrequency",    "machdep.cpu.brand_string",
                                       "machdep.cpu.vendor", "hw.model"};

// One reading answers a run of different names asked together (as one
// get_cpu_info does), including a text's size probe and its fetch. A name
// fetched a second time, or a reading older than 100 ms, makes a new reading:
// every question still gets a fresh answer.
const CpuIdentity& identity(std::size_t name, bool fetch) {
    constexpr std::uint64_t lifetime_ns = 100'000'000;
    thread_local std::optional<CpuIdentity> memo;
    const std::uint64_t now = monotonic_now_ns();
    const auto bit = static_cast<std::uint8_t>(1u << name);
    if (!memo || (memo->served & bit) != 0 || now - memo->read_at_ns > lifetime_ns) {
        memo = read_identity();
        memo->read_at_ns = now;
    }
    if (fetch) memo->served |= bit;
    return *memo;
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

    const CpuIdentity& id =
        identity(static_cast<std::size_t>(found - std::begin(kNames)), oldp != nullptr);
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
