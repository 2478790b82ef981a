// A span of time as whole seconds plus nanoseconds, the form every sampling
// query takes its interval in.
#pragma once

#include <cstdint>

namespace lumenstat {

struct Duration {
    std::uint64_t seconds = 0;
    std::uint32_t nanoseconds = 0;

    bool is_zero() const { return seconds == 0 && nanoseconds == 0; }

    // The span in seconds, as the sampling queries divide by it.
    double as_seconds() const {
        return static_cast<double>(nanoseconds) / 1e9 + static_cast<double>(seconds);
    }

    static Duration from_milliseconds(std::uint64_t ms) {
        return {ms / 1000, static_cast<std::uint32_t>((ms % 1000) * 1000000)};
    }
};

}  // namespace lumenstat
