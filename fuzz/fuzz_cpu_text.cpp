// sources: src/os/linux/cpu/cpu_parse.cpp

// The CPU text parsers of the Linux personality. Any bytes: no read out of
// bounds, CPU lists bounded, core counts never above the processors seen.
// The bytes as eight counters of a well-formed /proc/stat line: they come
// back folded into the four states exactly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "os/linux/cpu/cpu_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumenstat::os::linux_cpu;
    using namespace lumenstat::darwin;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    std::vector<Ticks> ticks;
    parse_proc_stat_cpus(bytes, ticks);

    const std::vector<unsigned> list = parse_cpu_list(bytes);
    if (list.size() > (1u << 16)) std::abort();
    for (unsigned cpu : list) {
        if (cpu > (1u << 20)) std::abort();
    }

    if (const auto hz = mhz_text_to_hz(bytes)) {
        std::uint64_t whole = 0;
        for (std::size_t i = 0; i < bytes.size() && bytes[i] >= '0' && bytes[i] <= '9'; ++i) {
            whole = whole * 10 + static_cast<std::uint64_t>(bytes[i] - '0');
        }
        if (*hz / 1000000 != whole) std::abort();
    }

    const CpuinfoSummary cpuinfo = parse_cpuinfo(bytes);
    if (cpuinfo.cores > cpuinfo.cpus.size()) std::abort();

    if (size >= 8 * sizeof(std::uint32_t)) {
        std::uint32_t c[8];
        std::memcpy(c, data, sizeof c);
        std::string line = "cpu  1 2 3 4 5 6 7 8 0 0\ncpu7";
        for (std::uint32_t v : c) {
            line += ' ';
            line += std::to_string(v);
        }
        line += " 0 0\nintr 1 2\n";
        std::vector<Ticks> folded;
        if (!parse_proc_stat_cpus(line, folded) || folded.size() != 1) std::abort();
        const Ticks& t = folded[0];
        if (t[CPU_STATE_USER] != c[0] || t[CPU_STATE_NICE] != c[1] ||
            t[CPU_STATE_SYSTEM] != std::uint64_t{c[2]} + c[5] + c[6] + c[7] ||
            t[CPU_STATE_IDLE] != std::uint64_t{c[3]} + c[4]) {
            std::abort();
        }
    }
    return 0;
}
