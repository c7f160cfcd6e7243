// Counter-based random numbers for the simulator: every sample is a pure
// function of (seed, stream, index), so frames render identically in any order
// and on any standard library.
#pragma once

#include <cstdint>

namespace orvane_sim {

// The splitmix64 finaliser: a bijective 64-bit mix with good avalanche.
inline uint64_t mix64(uint64_t z) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Key of one stream (one frame of one capture).
inline uint64_t stream_key(uint64_t seed, uint64_t stream) {
    return mix64(mix64(seed) ^ (stream * 0xD1B54A32D192ED03ull));
}

// Approximately standard normal: the sum of four uniform 16-bit draws from one
// 64-bit word, centred and scaled to unit variance (tails end at 3.46 sigma,
// which is all sensor noise needs).
inline double gaussian(uint64_t key, uint64_t index) {
    const uint64_t r = mix64(key + index * 0x9E3779B97F4A7C15ull);
    const double sum = static_cast<double>(r & 0xFFFF) + static_cast<double>((r >> 16) & 0xFFFF) +
                       static_cast<double>((r >> 32) & 0xFFFF) + static_cast<double>(r >> 48);
    // Four uniforms on [0, 1) have mean 2 and variance 1/3.
    return ((sum + 2.0) / 65536.0 - 2.0) * 1.7320508075688772;
}

// Sequential generator for the chart layout.
class sequence {
public:
    explicit sequence(uint64_t seed) : state_(seed) {}
    uint64_t next() { return mix64(state_++); }
    // Uniform on [0, 1).
    double uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }

private:
    uint64_t state_;
};

}  // namespace orvane_sim
