#pragma once
// The event loop of the process: a map of endpoints keyed by descriptor,
// a select() loop over the connected ones, the timers checked once per pass,
// and a periodic check that closes, reconnects, keeps or deletes endpoints
// that have become disconnected.
//
// The map does not own servers or outgoing clients; accepted connections
// are deleted here, and only here, by checkConnection once they are dead.
//
// Each pass also closes connections whose send queue has not moved for the
// stall timeout; their owners learn of it as of a lost connection.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sys/select.h>

#include "net/CObjectBase.h"
#include "net/EpollLoop.h"
#include "timer/CTimerManager.h"
#include "timer/TimerCallback.h"

#ifndef PELLIX_SERVE_PAUSE_US
#define PELLIX_SERVE_PAUSE_US 1000
#endif

class CSocketManager {
public:
    // Pause after each served descriptor, in microseconds (0: none).
    static constexpr unsigned kServePauseUs = PELLIX_SERVE_PAUSE_US;
    // How long a send queue may hold bytes of which none could be written.
    static constexpr int kStallTimeoutMs = 10000;

    CSocketManager();
    ~CSocketManager();
    CSocketManager(const CSocketManager &) = delete;
    CSocketManager &operator=(const CSocketManager &) = delete;

    int add(int fd, CObjectBase *endpoint);
    int remove(int fd);
    int find(int fd, CObjectBase *&endpoint);

    // Waits with epoll instead of select() from now on: the interest set is
    // kept across passes, descriptors are not bounded by FD_SETSIZE, the wait
    // ends at the nearest timer's deadline, and a readable endpoint is read
    // until it is empty, up to kReadsPerPass reads a pass. False (the select
    // loop stays) when the kernel gave no epoll descriptor.
    bool useEpoll();
    bool usesEpoll() const { return epoll != nullptr; }
    static const int kReadsPerPass = EpollLoop::kReadsPerPass;

    // Runs passes until stopped (0) or the wait fails (-1).
    int startSelect();
    // One pass: timers, select() for at most timeoutMs, serve the ready
    // descriptors. 1 to go on, 0 when stopped, -1 when select() failed.
    int runPass(int timeoutMs = 100);
    void stopSelect() { running = false; }

    int checkConnection(const void *data, int len);
    void setCheckInterval(int seconds);
    int dumpSocketMapInfo();

    int addTimer(const std::string &name, const TimerCallback &callback, int count, int periodMs, int priority,
                 const void *data, int len);
    int stopTimer(const std::string &name);
    void resetTimer(const std::string &name, int periodMs);
    CTimerManager *getTimerManager() { return timerManager.get(); }

    size_t size() const { return socketMap.size(); }

    // Pause after each served descriptor, kServePauseUs until set.
    void setServePauseUs(unsigned us) { servePause = us; }
    unsigned servePauseUs() const { return servePause; }
    // Called once per pass, after the timers, in the order added: work that
    // waits for a budget to refill rather than for a descriptor, or that
    // shows the loop still turns.
    void addPassHook(const std::function<void()> &hook) { passHooks.push_back(hook); }
    // 0 or less: queues are never closed for being stuck.
    void setStallTimeoutMs(int ms) { stallTimeout = ms; }
    int stallTimeoutMs() const { return stallTimeout; }

private:
    struct Stalled {
        int key;
        CObjectBase *endpoint;
        int64_t stillMs;
    };

    // The connected descriptors to watch for reading, and those of them
    // with unsent bytes waiting, to watch for writing. Connections whose
    // send queue is stuck as of nowMs are closed instead; returns how many.
    int collectFds(int &highest, int64_t nowMs);
    int closeStalled();
    void flushWritable(const fd_set &writeSet);

    // Stores endpoint under fd; an accepted endpoint that it pushes out (its
    // descriptor closed, the number reused) is deleted at the next check.
    void storeLocked(int fd, CObjectBase *endpoint);
    void reapDisplacedLocked();
    // Keeps byFd in step with socketMap for a descriptor key.
    void index(int fd, CObjectBase *endpoint);

    std::map<int, CObjectBase *> socketMap;
    std::vector<CObjectBase *> byFd; // socketMap's entries of descriptor keys, by descriptor
    std::mutex mapMutex;
    bool running;
    std::unique_ptr<CTimerManager> timerManager;
    int checkInterval;
    std::vector<CObjectBase *> displaced;
    std::vector<int> readFds;  // reused every pass
    std::vector<int> writeFds; // reused every pass
    std::vector<Stalled> stalled; // reused every pass
    unsigned servePause = kServePauseUs;
    int stallTimeout = kStallTimeoutMs;
    int nextDetachedKey = -1;  // keys for endpoints that hold no descriptor
    std::vector<std::function<void()>> passHooks;
    std::unique_ptr<EpollLoop> epoll; // null: the select loop
};
