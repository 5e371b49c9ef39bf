#pragma once
// The one source of the driver's random choices, seeded with the run's
// seed: a seed replays the same choices as long as they are drawn in the
// same order.

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>

namespace soak {

const size_t kMaxBody = 4096;

class SoakDice {
public:
    explicit SoakDice(uint64_t seed) : rng(seed) {}

    uint64_t rand64() { return rng(); }
    int pick(int lo, int hi) { return lo + static_cast<int>(rng() % static_cast<uint64_t>(hi - lo + 1)); }
    double uniform() { return static_cast<double>(rng() >> 11) * (1.0 / 9007199254740992.0); }
    bool chance(double p) { return uniform() < p; }

    std::string body(size_t size)
    {
        std::string bytes(size, '\0');
        uint64_t bits = 0;
        for (size_t i = 0; i < size; ++i) {
            bits = i % 8 == 0 ? rand64() : bits >> 8;
            // No "<" in a payload: a frame is cut at the first "<end>".
            bytes[i] = (bits & 0xFF) == '<' ? '>' : static_cast<char>(bits & 0xFF);
        }
        return bytes;
    }

    // Mostly short, now and then up to kMaxBody; never more than `most`.
    size_t bodySize(size_t most)
    {
        const double r = uniform();
        const int size = r < 0.35 ? pick(0, 64) : (r < 0.80 ? pick(65, 1024) : pick(1025, static_cast<int>(kMaxBody)));
        return std::min(static_cast<size_t>(size), most);
    }

private:
    std::mt19937_64 rng;
};

} // namespace soak
