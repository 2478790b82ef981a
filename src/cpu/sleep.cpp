#include "cpu/sleep.h"

#include <cerrno>
#include <limits>

namespace lumenstat {

namespace {

constexpr std::uint64_t kNanosPerSecond = 1000000000;

// One nanosleep call's worth, with EINTR resumed. False when the sleep failed.
bool sleep_piece(os::System& system, std::int64_t seconds, long nanoseconds) {
    struct timespec request {};
    request.tv_sec = static_cast<time_t>(seconds);
    request.tv_nsec = nanoseconds;
    for (;;) {
        struct timespec remaining {};
        if (system.nanosleep(&request, &remaining) == 0) return true;
        if (errno != EINTR) return false;
        request = remaining;
    }
}

}  // namespace

void sleep_for(os::System& system, Duration span) {
    std::uint64_t seconds = span.seconds;
    std::uint64_t nanoseconds = span.nanoseconds;
    if (nanoseconds >= kNanosPerSecond) {
        const std::uint64_t carry = nanoseconds / kNanosPerSecond;
        nanoseconds %= kNanosPerSecond;
        seconds = seconds > std::numeric_limits<std::uint64_t>::max() - carry
                      ? std::numeric_limits<std::uint64_t>::max()
                      : seconds + carry;
    }
    if (seconds == 0 && nanoseconds == 0) return;

    constexpr auto kLargestPiece = static_cast<std::uint64_t>(std::numeric_limits<time_t>::max());
    while (seconds > kLargestPiece) {
        if (!sleep_piece(system, static_cast<std::int64_t>(kLargestPiece), 0)) return;
        seconds -= kLargestPiece;
    }
    sleep_piece(system, static_cast<std::int64_t>(seconds), static_cast<long>(nanoseconds));
}

}  // namespace lumenstat
