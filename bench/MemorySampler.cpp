#include "bench/MemorySampler.h"

#include <chrono>

#include "bench/BenchIo.h"

namespace bench {

MemorySampler::MemorySampler(pid_t pid, int periodMs) : process(pid), period(periodMs)
{
    sample();
    sampler = std::thread([this] {
        while (!stopping) {
            std::this_thread::sleep_for(std::chrono::milliseconds(period));
            sample();
        }
    });
}

MemorySampler::~MemorySampler()
{
    stop();
}

void MemorySampler::stop()
{
    if (sampler.joinable()) {
        stopping = true;
        sampler.join();
        sample();
    }
}

void MemorySampler::sample()
{
    long resident = 0;
    long privateKb = 0;
    if (process > 0 && processStatmKb(process, resident, privateKb)) {
        if (resident > residentPeak) {
            residentPeak = resident;
        }
        if (privateKb > privatePeak) {
            privatePeak = privateKb;
        }
    }
}

} // namespace bench
