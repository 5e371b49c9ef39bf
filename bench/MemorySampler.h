#pragma once
// The peaks of a process's resident and private memory over a run, read
// from statm every few milliseconds on a thread of its own: VmHWM keeps the
// resident peak, but nothing keeps the private one, which is what queued
// copies and documents take.

#include <sys/types.h>

#include <atomic>
#include <thread>

namespace bench {

class MemorySampler {
public:
    explicit MemorySampler(pid_t pid, int periodMs = 10);
    ~MemorySampler();
    MemorySampler(const MemorySampler &) = delete;
    MemorySampler &operator=(const MemorySampler &) = delete;

    // Stops sampling (with one last sample); the peaks stay readable.
    void stop();
    // -1 when no sample could be read.
    long residentPeakKb() const { return residentPeak; }
    long privatePeakKb() const { return privatePeak; }

private:
    void sample();

    pid_t process;
    int period;
    std::atomic<bool> stopping{false};
    std::atomic<long> residentPeak{-1};
    std::atomic<long> privatePeak{-1};
    std::thread sampler;
};

} // namespace bench
