// The CPU queries' arithmetic: tick counters, usage between two samples, the
// sleep between them, and the processor's names.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "core/answer_text.h"
#include "core/whole_machine.h"
#include "cpu/cpu_info.h"
#include "cpu/cpu_usage.h"
#include "cpu/sleep.h"
#include "cpu/sysctl_value.h"

namespace lumenstat {
namespace {

using testing::kMax;
using testing::words;
using Spans = std::vector<std::pair<long, long>>;  // seconds, nanoseconds
using namespace std::string_literals;

// The nanosleep requests made for `span`: the first `interrupted` calls are
// cut short by a signal with half the request left, then calls fail with
// `fail_errno` if it is set.
Spans sleeps_of(Duration span, int interrupted = 0, int fail_errno = 0) {
    testing::FakeSystem sys;
    Spans requests;
    sys.on_nanosleep = [&](const timespec* request, timespec* remaining) {
        requests.emplace_back(request->tv_sec, request->tv_nsec);
        const bool eintr = static_cast<int>(requests.size()) <= interrupted;
        if (eintr) *remaining = {request->tv_sec / 2, request->tv_nsec / 2};
        errno = eintr ? EINTR : fail_errno;
        return errno == 0 ? 0 : -1;
    };
    sleep_for(sys, span);
    return requests;
}

TEST(Sleep, ResumesAfterSignalsAndSleepsLongSpansInPieces) {
    EXPECT_EQ(sleeps_of({8, 400}, 2), (Spans{{8, 400}, {4, 200}, {2, 100}}));
    EXPECT_EQ(sleeps_of({1, 2'500'000'000u}), (Spans{{3, 500'000'000}}));
    constexpr long kSigned = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(sleeps_of({kMax, 7}), (Spans{{kSigned, 0}, {kSigned, 0}, {1, 7}}));
    // The longest span in milliseconds converts without overflow.
    EXPECT_EQ(sleeps_of(Duration::from_milliseconds(kMax)),
              (Spans{{18'446'744'073'709'551, 615'000'000}}));
    EXPECT_TRUE(sleeps_of({}).empty());
    // Any other failure ends the sleep rather than retrying or sleeping on.
    EXPECT_EQ(sleeps_of({kMax, 0}, 0, EINVAL).size(), 1u);
}

}  // namespace
}  // namespace lumenstat
