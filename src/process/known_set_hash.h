// Hashing for a tracker's set of known items: seeded per tracker, so that
// the buckets an outside party would aim at differ from tracker to tracker.
#pragma once

#include <cstdint>

namespace lumenstat {

// A seed for a known set's hash, different for every tracker.
std::uint64_t random_hash_seed();

// Mixes a value into a hash (a 64-bit finaliser, so that nearby pids and
// ports spread over the buckets).
inline std::uint64_t mix_hash(std::uint64_t hash, std::uint64_t value) {
    std::uint64_t x = hash ^ (value + 0x9e3779b97f4a7c15ull + (hash << 6) + (hash >> 2));
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

}  // namespace lumenstat
