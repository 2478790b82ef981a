#include "process/process_table.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "core/whole_machine.h"
#include "process/kill.h"

namespace lumenstat {
namespace {

using Lengths = std::vector<std::size_t>;

constexpr std::size_t kEntry = sizeof(darwin::kinfo_proc);
constexpr std::size_t kHonest = ~std::size_t{0};  // a probe or claim that tells the truth

// The fake machine with `processes` processes, whose table's size probe or
// fetch may claim other than the truth.
struct Machine : testing::WholeMachine {
    std::optional<std::size_t> probe, claim;
    Lengths fetch_lengths;

    explicit Machine(int processes = 0) {
        table.clear();
        for (int pid = 1; pid <= processes; ++pid) add_process(pid, 1, "p", {});
        sys.on_sysctl = [this, honest = sys.on_sysctl](const int* name, unsigned namelen, void* old,
                                                       std::size_t* len, const void* new_,
                                                       std::size_t newlen) {
            const bool of_table = name[1] != darwin::KERN_PROCARGS2;
            if (of_table && old == nullptr && probe) return *len = *probe, 0;
            if (of_table && old != nullptr) {
                fetch_lengths.push_back(*len);
                // Every byte up to the given length must be ours to write, and zero.
                const auto* p = static_cast<const unsigned char*>(old);
                EXPECT_TRUE(std::all_of(p, p + *len, [](unsigned char b) { return b == 0; }));
            }
            const int r = honest(name, namelen, old, len, new_, newlen);
            if (of_table && old != nullptr && claim) *len = *claim;
            return r;
        };
    }

    std::vector<ProcessInfo> processes() {
        auto result = get_processes(sys);
        EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().text());
        return result.value_or(std::vector<ProcessInfo>{});
    }
};

TEST(ProcessTable, GrowsTheBufferUntilTheTableFitsAndReadsOnlyWholeEntries) {
    // A probe that saw fewer processes: 20% margin, at least one entry, then
    // doubling on every ENOMEM. A fetch whose length claims other than what
    // it wrote (three entries, 1944 bytes): whole entries of the length, up
    // to the capacity given.
    const std::tuple<std::size_t, int, std::size_t, std::size_t, Lengths> cases[] = {
        // probe, entries, claimed length, read, fetch lengths
        {kEntry, 5, kHonest, 5, {777, 1554, 3108, 6216}},
        {0, 2, kHonest, 2, {648, 1296}},
        {kHonest, 3, kEntry - 1, 0, {2332}},
        {kHonest, 3, 2 * kEntry + 100, 2, {2332}},
        {kHonest, 3, 1000 * kEntry, 3, {2332}},
    };
    for (const auto& [probe, count, claim, read, lengths] : cases) {
        Machine m(count);
        if (probe != kHonest) m.probe = probe;
        if (claim != kHonest) m.claim = claim;
        const auto procs = m.processes();
        ASSERT_EQ(procs.size(), read) << count;
        for (std::size_t i = 0; i < read; ++i) EXPECT_EQ(procs[i].pid, i + 1);
        EXPECT_EQ(m.fetch_lengths, lengths) << count;
    }
}

// Capacities that can be neither allocated nor doubled, nor the margin added.
TEST(ProcessTable, AbsurdProbedSizesFailUnfetched) {
    const std::pair<std::size_t, std::string_view> cases[] = {
        {std::size_t{1} << 63, "sysctl KERN_PROC_ALL buffer size overflow"},
        {~std::size_t{0}, "sysctl KERN_PROC_ALL buffer size overflow"},
#if !defined(__SANITIZE_ADDRESS__)  // the address sanitizer aborts on allocations this large
        {std::size_t{1} << 61, "sysctl KERN_PROC_ALL buffer allocation failed"},
#endif
    };
    for (const auto& [probed, text] : cases) {
        Machine m;
        m.probe = probed;
        EXPECT_EQ(get_processes(m.sys).error(), QueryError::sys_call(std::string(text)));
        EXPECT_TRUE(m.fetch_lengths.empty()) << text;
    }
}

TEST(KillProcess, SendsSigkillAndMapsErrno) {
    FakeSystem sys;
    std::vector<std::pair<int, int>> sent;
    int next_errno = 0;
    sys.on_kill = [&](int pid, int sig) {
        sent.emplace_back(pid, sig);
        errno = next_errno;
        return next_errno == 0 ? 0 : -1;
    };
    EXPECT_TRUE(kill_process(sys, 1234));
    const std::tuple<int, std::uint32_t, QueryError> failures[] = {
        {EPERM, 1, QueryError::permission_denied("kill pid 1")},
        {ESRCH, 2147483647, QueryError::process_not_found(2147483647)},
        {EINVAL, 77, QueryError::sys_call("kill(77) failed: " + os_error_text(EINVAL))},
        // Pids that would signal a process group or every process are refused unsent.
        {0, 0, QueryError::process_not_found(0)},
        {0, 2147483648u, QueryError::process_not_found(2147483648u)},
        {0, 4294967295u, QueryError::process_not_found(4294967295u)},
    };
    for (const auto& [code, pid, error] : failures) {
        next_errno = code;
        const auto result = kill_process(sys, pid);
        EXPECT_TRUE(!result && result.error() == error) << pid;
    }
    EXPECT_EQ(sent, (std::vector<std::pair<int, int>>{
                        {1234, SIGKILL}, {1, SIGKILL}, {2147483647, SIGKILL}, {77, SIGKILL}}));
}

}  // namespace
}  // namespace lumenstat
