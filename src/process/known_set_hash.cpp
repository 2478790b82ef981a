#include "process/known_set_hash.h"

#include <unistd.h>

#include <chrono>
#include <exception>
#include <random>

namespace lumenstat {

std::uint64_t random_hash_seed() {
    try {
        std::random_device device;
        return (static_cast<std::uint64_t>(device()) << 32) ^ device();
    } catch (const std::exception&) {
        // No entropy source: the clock still differs from tracker to tracker.
        auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        return mix_hash(static_cast<std::uint64_t>(::getpid()), static_cast<std::uint64_t>(now));
    }
}

}  // namespace lumenstat
