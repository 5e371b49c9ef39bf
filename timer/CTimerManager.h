#pragma once
// The process's named timers, checked once per pass of the select loop.
//
// Three maps, one per priority, each ordered byte-wise by name; the manager
// owns every timer they hold. A timer replaced while a pass runs (possibly by
// its own callback) is kept alive until the pass is over.

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "timer/CMTimer.h"
#include "timer/TimerCallback.h"

enum TimerPriority {
    TIMER_PRIORITY_HIGH = 1,
    TIMER_PRIORITY_NORMAL = 2,
    TIMER_PRIORITY_LOW = 3,
};

typedef std::map<std::string, std::unique_ptr<CMTimer>> TimerMap;

class CTimerManager {
public:
    CTimerManager();
    ~CTimerManager();
    CTimerManager(const CTimerManager &) = delete;
    CTimerManager &operator=(const CTimerManager &) = delete;

    int addTimer(const std::string &name, const TimerCallback &callback, int count, int periodMs, int priority,
                 const void *data, int len);
    int update(TimerMap &map, const std::string &name, std::unique_ptr<CMTimer> timer);
    int stopTimer(const std::string &name);
    void resetTimer(const std::string &name, int periodMs);
    int checkTimerMap(TimerMap &map);
    int checkTimers();
    // Milliseconds until the next timer is due, at most `most`.
    int msUntilNextDue(int most);
    int dumpTimerMapInfo();

    // The timer stored under name in the map of that priority, or null.
    CMTimer *findTimer(const std::string &name, int priority);

private:
    CMTimer *findFirst(const std::string &name);

    TimerMap highMap;
    TimerMap normalMap;
    TimerMap lowMap;
    std::mutex mutex;
    int passDepth = 0;
    std::vector<std::unique_ptr<CMTimer>> retired;
};
