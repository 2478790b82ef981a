#include "os/linux/cpu/cpu_parse.h"

#include <algorithm>
#include <utility>

namespace lumenstat::os::linux_cpu {

namespace {

// Columns of a "cpuN" line, in the kernel's order.
enum Column { User, Nice, System, Idle, Iowait, Irq, Softirq, Steal, ColumnCount };

// Folds the Linux columns into the four Darwin states so that busy time is
// everything but idle and iowait, over a total that leaves out guest time
// (already counted in user and nice): the same figure Linux's own per-CPU
// usage tools report. irq, softirq and steal are kernel-side time, so they
// join system; iowait is a CPU waiting with nothing to run, so it joins idle.
Ticks fold(const std::uint64_t (&c)[ColumnCount]) {
    Ticks ticks{};
    ticks[darwin::CPU_STATE_USER] = c[User];
    ticks[darwin::CPU_STATE_NICE] = c[Nice];
    ticks[darwin::CPU_STATE_SYSTEM] = c[System] + c[Irq] + c[Softirq] + c[Steal];
    ticks[darwin::CPU_STATE_IDLE] = c[Idle] + c[Iowait];
    return ticks;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string_view next_line(std::string_view& rest) {
    const std::size_t newline = rest.find('\n');
    const std::string_view line = rest.substr(0, newline);
    rest = newline == std::string_view::npos ? std::string_view{} : rest.substr(newline + 1);
    return line;
}

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

constexpr std::size_t kMostCpus = 1u << 16;

}  // namespace

std::string_view trim_end(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

bool parse_proc_stat_cpus(std::string_view text, std::vector<Ticks>& cpus) {
    while (!text.empty()) {
        std::string_view line = next_line(text);
        if (!line.starts_with("cpu")) break;
        line.remove_prefix(3);
        if (line.empty() || !is_digit(line.front())) continue;  // the "cpu" total
        while (!line.empty() && is_digit(line.front())) line.remove_prefix(1);

        std::uint64_t columns[ColumnCount] = {};
        for (int column = 0; column < ColumnCount; ++column) {
            while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
            if (line.empty()) {
                if (column <= Idle) return false;  // older kernels stop after iowait or steal
                break;
            }
            std::uint64_t value = 0;
            bool digits = false;
            while (!line.empty() && is_digit(line.front())) {
                value = value * 10 + static_cast<std::uint64_t>(line.front() - '0');
                line.remove_prefix(1);
                digits = true;
            }
            if (!digits) return false;
            columns[column] = value;
        }
        cpus.push_back(fold(columns));
    }
    return true;
}

std::vector<unsigned> parse_cpu_list(std::string_view text) {
    std::vector<unsigned> cpus;
    text = trim_end(text);
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        const std::size_t dash = item.find('-');
        const auto first = parse_decimal(item.substr(0, dash));
        const auto last = dash == std::string_view::npos ? first : parse_decimal(item.substr(dash + 1));
        if (!first || !last || *last < *first || *last > (1LL << 20) ||
            static_cast<std::size_t>(*last - *first) >= kMostCpus - cpus.size()) {
            return {};
        }
        for (long long cpu = *first; cpu <= *last; ++cpu) cpus.push_back(static_cast<unsigned>(cpu));
    }
    return cpus;
}

std::optional<std::uint64_t> mhz_text_to_hz(std::string_view text) {
    std::uint64_t mhz = 0;
    std::size_t i = 0;
    for (; i < text.size() && is_digit(text[i]); ++i) {
        if (mhz > 1000000000) return std::nullopt;
        mhz = mhz * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    if (i == 0) return std::nullopt;
    std::uint64_t hz = mhz * 1000000;
    if (i < text.size() && text[i] == '.') {
        std::uint64_t scale = 100000;
        for (++i; i < text.size() && is_digit(text[i]) && scale > 0; ++i) {
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
        if (!is_digit(c)) return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

CpuinfoSummary parse_cpuinfo(std::string_view text) {
    CpuinfoSummary summary;
    std::vector<std::pair<long long, long long>> cores;
    bool every_cpu_placed = true;
    // -1 until the record names it: ids are never negative.
    long long package = -1;
    long long core = -1;
    bool in_record = false;
    const auto close_record = [&] {
        if (!in_record) return;
        if (package >= 0 && core >= 0) {
            cores.emplace_back(package, core);
        } else {
            every_cpu_placed = false;
        }
        package = -1;
        core = -1;
        in_record = false;
    };
    while (!text.empty()) {
        std::string_view key, value;
        if (!split_field(next_line(text), key, value)) continue;
        if (key == "processor") {
            close_record();
            const auto n = parse_decimal(value);
            if (n && summary.cpus.size() < kMostCpus) {
                summary.cpus.push_back(static_cast<unsigned>(*n));
                in_record = true;
            }
        } else if (key == "physical id") {
            package = parse_decimal(value).value_or(-1);
        } else if (key == "core id") {
            core = parse_decimal(value).value_or(-1);
        } else if (summary.cpus.size() <= 1) {
            if (key == "model name" && !summary.brand) summary.brand = std::string(value);
            if (key == "vendor_id" && !summary.vendor) summary.vendor = std::string(value);
            if (key == "cpu MHz" && !summary.mhz) summary.mhz = std::string(value);
        }
    }
    close_record();
    if (every_cpu_placed && !cores.empty()) {
        std::sort(cores.begin(), cores.end());
        summary.cores =
            static_cast<std::uint32_t>(std::unique(cores.begin(), cores.end()) - cores.begin());
    }
    return summary;
}

}  // namespace lumenstat::os::linux_cpu
