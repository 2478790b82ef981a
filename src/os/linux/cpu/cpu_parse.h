// Parsers of the kernel texts the CPU part of the Linux personality reads:
// /proc/stat, /proc/cpuinfo and sysfs CPU lists. Any bytes are accepted;
// malformed input gives an empty or failed result, never a read out of bounds.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/darwin.h"

namespace lumenstat::os::linux_cpu {

// One CPU's ticks in the Darwin states, indexed by darwin::CPU_STATE_*.
using Ticks = std::array<std::uint64_t, darwin::CPU_STATE_MAX>;

// One Ticks per "cpuN" line, in file order (the kernel lists online CPUs in
// ascending order). False when a cpu line is malformed.
bool parse_proc_stat_cpus(std::string_view text, std::vector<Ticks>& cpus);

// "0-3,6" -> {0, 1, 2, 3, 6}; empty when malformed or absurdly long.
std::vector<unsigned> parse_cpu_list(std::string_view text);

// "2096.035" (MHz) -> 2096035000 Hz.
std::optional<std::uint64_t> mhz_text_to_hz(std::string_view text);

// Plain decimal digits, at most 18 of them.
std::optional<long long> parse_decimal(std::string_view digits);

struct CpuinfoSummary {
    std::vector<unsigned> cpus;  // the "processor" numbers, in file order
    // Distinct (physical id, core id) pairs; 0 when any processor lacks them.
    std::uint32_t cores = 0;
    // Of the first processor.
    std::optional<std::string> brand;  // "model name"
    std::optional<std::string> vendor;  // "vendor_id"
    std::optional<std::string> mhz;     // "cpu MHz"
};

CpuinfoSummary parse_cpuinfo(std::string_view text);

// The text without trailing blanks and newlines.
std::string_view trim_end(std::string_view text);

}  // namespace lumenstat::os::linux_cpu
