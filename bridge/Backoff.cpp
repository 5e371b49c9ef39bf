#include "bridge/Backoff.h"

#include <memory>
#include <random>
#include <utility>

namespace bridge {

Backoff::Backoff(int64_t initialMs, int64_t capMs, Random source)
    : initial(initialMs), cap(capMs), random(std::move(source))
{
    if (!random) {
        auto engine = std::make_shared<std::minstd_rand>(std::random_device{}());
        random = [engine] { return static_cast<uint32_t>((*engine)()); };
    }
}

int64_t Backoff::next()
{
    int64_t base = initial;
    for (int i = 0; i < failures && base < cap; ++i) {
        base *= 2;
    }
    if (base > cap) {
        base = cap;
    }
    if (failures < 62) {
        ++failures;
    }
    const int64_t quarter = base / 4;
    return base - (quarter > 0 ? static_cast<int64_t>(random() % static_cast<uint64_t>(quarter + 1)) : 0);
}

} // namespace bridge
