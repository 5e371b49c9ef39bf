#include "bridge/EchoFilter.h"

namespace bridge {

EchoFilter::EchoFilter(size_t maxCount, int64_t maxAge) : maxEntries(maxCount), maxAgeMs(maxAge)
{
}

uint64_t EchoFilter::fingerprint(const std::string &where, const void *data, size_t size)
{
    // FNV-1a over where, a separator and the bytes; 64 bits make a false
    // match between two different messages negligible.
    uint64_t h = 14695981039346656037ULL;
    auto mix = [&h](const unsigned char *p, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            h = (h ^ p[i]) * 1099511628211ULL;
        }
    };
    mix(reinterpret_cast<const unsigned char *>(where.data()), where.size());
    const unsigned char separator = 0xff; // never inside a UTF-8 topic
    mix(&separator, 1);
    mix(static_cast<const unsigned char *>(data), size);
    return h;
}

void EchoFilter::expire(int64_t nowMs)
{
    while (!entries.empty() && nowMs - entries.front().at > maxAgeMs) {
        entries.pop_front();
    }
}

void EchoFilter::remember(const std::string &where, const void *data, size_t size, int64_t nowMs)
{
    expire(nowMs);
    if (entries.size() >= maxEntries) {
        entries.pop_front();
    }
    entries.push_back(Entry{fingerprint(where, data, size), nowMs});
}

bool EchoFilter::isEcho(const std::string &where, const void *data, size_t size, int64_t nowMs)
{
    expire(nowMs);
    if (entries.empty()) {
        return false;
    }
    const uint64_t print = fingerprint(where, data, size);
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it->print == print) {
            entries.erase(it);
            return true;
        }
    }
    return false;
}

} // namespace bridge
