// Sleeping a whole span through nanosleep: after a signal, past the signed
// range of seconds, and when nanosleep fails otherwise.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "cpu/sleep.h"
#include "support/fake_system.h"

namespace lumenstat {
namespace {

using testing::kMax;
using Spans = std::vector<std::pair<long, long>>;

// The requests made for `span`: the first `interrupted` are cut short by a
// signal with half the request left, later ones fail with `fail_errno` if set.
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
    constexpr long kSigned = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(sleeps_of({8, 400}, 2), (Spans{{8, 400}, {4, 200}, {2, 100}}));
    EXPECT_EQ(sleeps_of({1, 2'500'000'000u}), (Spans{{3, 500'000'000}}));
    EXPECT_EQ(sleeps_of({kMax, 7}), (Spans{{kSigned, 0}, {kSigned, 0}, {1, 7}}));
    EXPECT_EQ(sleeps_of(Duration::from_milliseconds(kMax)),
              (Spans{{18'446'744'073'709'551, 615'000'000}}));
    EXPECT_TRUE(sleeps_of({}).empty());
    // Any other failure ends the sleep rather than retrying or sleeping on.
    EXPECT_EQ(sleeps_of({1, 0}, 0, EINVAL).size(), 1u);
    EXPECT_EQ(sleeps_of({kMax, 0}, 0, EINVAL).size(), 1u);
}

}  // namespace
}  // namespace lumenstat
