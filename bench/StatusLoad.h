#pragma once
// Status requests in a loop, against a hub made to have a large status
// document: a crowd of registered modules, each with a long name and a
// report of about a kilobyte, and a few connections that each ask for the
// status again as soon as the previous answer is complete. The hub paces
// the answers; what the loop costs the other modules is what a run
// measures beside it.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

struct StatusLoadPlan {
    int crowd = 200;          // registered modules, idle once registered
    int loopers = 2;          // connections asking in a loop
    size_t nameBytes = 200;   // each crowd module's name
    size_t reportBytes = 1000; // each crowd module's report (JSON text, at most 1024)
};

class StatusLoad {
public:
    // The crowd registers kFirstCrowdId.., the loopers the ids after it.
    static const int kFirstCrowdId = 0x12;
    static const int kMostCrowd = 200;
    static const int kMostLoopers = 4;

    StatusLoad() = default;
    ~StatusLoad();
    StatusLoad(const StatusLoad &) = delete;
    StatusLoad &operator=(const StatusLoad &) = delete;

    // Connects the crowd and the loopers to the hub at 127.0.0.1:port; the
    // loopers start asking at once. False, with the reason in error(), when
    // the hub does not answer a registration.
    bool start(uint16_t port, const StatusLoadPlan &plan);
    // Stops asking and disconnects. False, with the reason in error(), when
    // a looper's connection was closed or an answer was not a document.
    bool stop();

    uint64_t answers() const { return answerCount; }
    uint64_t textBytes() const { return textCount; }
    size_t documentBytes() const { return lastDocument; }
    double seconds() const { return loopSeconds; }
    std::string error() const;

private:
    bool connectModule(uint16_t port, int id, const std::string &name, int &fd);
    void loop();
    void fail(const std::string &why);

    std::vector<int> crowd;
    std::vector<int> loopers;
    std::vector<int> looperIds;
    std::thread looping;
    std::atomic<bool> stopping{false};
    std::atomic<bool> failed{false};
    std::atomic<uint64_t> answerCount{0};
    std::atomic<uint64_t> textCount{0};
    std::atomic<size_t> lastDocument{0};
    int64_t startNs = 0;
    double loopSeconds = 0;
    mutable std::mutex mutex;
    std::string lastError;
};

} // namespace bench
