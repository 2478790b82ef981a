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

// Distinct (package, core) pairs of the online CPUs; without a readable
// topology every online CPU counts as a core.
std::uint32_t physical_cores(const std::vector<unsigned>& online) {
    std::vector<std::pair<long long, long long>> cores;
    for (unsigned cpu : online) {
        const std::string topology = cpu_dir(cpu) + "/topology/";
        const auto package = read_number(topology + "physical_package_id");
        const auto core = read_number(topology + "core_id");
        if (package && core) cores.emplace_back(*package, *core);
    }
    if (cores.empty()) return static_cast<std::uint32_t>(online.size());
    std::sort(cores.begin(), cores.end());
    return static_cast<std::uint32_t>(std::unique(cores.begin(), cores.end()) - cores.begin());
}

// The value of "key<blanks>: value" in the first processor's block of
// /proc/cpuinfo. Only that block is read: the kernel formats the file one
// processor at a time as it is read.
std::optional<std::string> cpuinfo_field(std::string_view key) {
    std::string text;
    const bool read = read_text("/proc/cpuinfo", text, [](std::string_view so_far) {
        return so_far.find("\n\n") != std::string_view::npos;
    });
    if (!read) return std::nullopt;
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t newline = rest.find('\n');
        const std::string_view line = rest.substr(0, newline);
        rest = newline == std::string_view::npos ? std::string_view{} : rest.substr(newline + 1);
        if (line.empty()) break;
        if (!line.starts_with(key)) continue;
        std::string_view after = line.substr(key.size());
        while (!after.empty() && (after.front() == ' ' || after.front() == '\t')) {
            after.remove_prefix(1);
        }
        if (after.empty() || after.front() != ':') continue;
        after.remove_prefix(1);
        while (!after.empty() && after.front() == ' ') after.remove_prefix(1);
        return std::string(trim_end(after));
    }
    return std::nullopt;
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

// cpufreq's upper limit of the first online CPU (the figure other Linux tools
// report as the maximum frequency), else the hardware maximum, else the clock
// /proc/cpuinfo shows.
std::optional<std::uint64_t> frequency_hz(const std::vector<unsigned>& online) {
    const std::string cpufreq = cpu_dir(online.empty() ? 0 : online.front()) + "/cpufreq/";
    for (const char* name : {"scaling_max_freq", "cpuinfo_max_freq"}) {
        if (const auto khz = read_number(cpufreq + name); khz && *khz > 0) {
            return static_cast<std::uint64_t>(*khz) * 1000;
        }
    }
    if (const auto mhz = cpuinfo_field("cpu MHz")) return mhz_text_to_hz(*mhz);
    return std::nullopt;
}

std::optional<std::string> dmi_product_name() {
    std::string text;
    if (!read_text("/sys/class/dmi/id/product_name", text)) return std::nullopt;
    const std::string_view name = trim_end(text);
    if (name.empty()) return std::nullopt;
    return std::string(name);
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

// The text read for a size probe, kept for the fetch that follows it on the
// same thread so that the pair reads the kernel once. A fetch consumes it.
struct TextMemo {
    std::string name;
    std::optional<std::string> value;
};
thread_local TextMemo text_memo;

template <class Read>
int answer_memoized_text(std::string_view name, Read read, void* oldp, std::size_t* oldlenp) {
    std::optional<std::string> text;
    if (oldp != nullptr && text_memo.name == name) {
        text = std::move(text_memo.value);
        text_memo.name.clear();
    } else {
        text = read();
    }
    if (oldp == nullptr && text) {
        text_memo.name = name;
        text_memo.value = text;
    }
    return answer_text(text, oldp, oldlenp);
}

}  // namespace

int LinuxSystem::sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, const void* newp,
                              std::size_t newlen) {
    if (name == nullptr) return fail(EINVAL);
    const std::string_view key = name;
    const bool known = key == "hw.logicalcpu" || key == "hw.physicalcpu" ||
                       key == "hw.cpufrequency" || key == "machdep.cpu.brand_string" ||
                       key == "machdep.cpu.vendor" || key == "hw.model";
    if (!known) return fail(ENOENT);
    if (newp != nullptr || newlen != 0) return fail(EPERM);

    if (key == "hw.logicalcpu") {
        const auto count = static_cast<std::int32_t>(online_cpus().size());
        return answer(&count, sizeof count, oldp, oldlenp);
    }
    if (key == "hw.physicalcpu") {
        const auto count = static_cast<std::int32_t>(physical_cores(online_cpus()));
        return answer(&count, sizeof count, oldp, oldlenp);
    }
    if (key == "hw.cpufrequency") {
        const auto hz = frequency_hz(online_cpus());
        if (!hz) return fail(ENOENT);
        const auto value = static_cast<std::int64_t>(*hz);
        return answer(&value, sizeof value, oldp, oldlenp);
    }
    if (key == "machdep.cpu.brand_string") {
        return answer_memoized_text(key, [] { return cpuinfo_field("model name"); }, oldp, oldlenp);
    }
    if (key == "machdep.cpu.vendor") {
        return answer_memoized_text(key, [] { return cpuinfo_field("vendor_id"); }, oldp, oldlenp);
    }
    return answer_memoized_text(key, dmi_product_name, oldp, oldlenp);
}

}  // namespace lumenstat::os
