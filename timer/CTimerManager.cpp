#include "timer/CTimerManager.h"

#include <cstdio>

#include "trace/Trace.h"

CTimerManager::CTimerManager() = default;

CTimerManager::~CTimerManager() = default;

int CTimerManager::addTimer(const std::string &name, const TimerCallback &callback, int count, int periodMs,
                            int priority, const void *data, int len)
{
    std::unique_ptr<CMTimer> timer(new CMTimer(data, len, count, static_cast<uint32_t>(periodMs)));
    timer->setCallback(callback);
    std::lock_guard<std::mutex> lock(mutex);
    switch (priority) {
    case TIMER_PRIORITY_HIGH:
        return update(highMap, name, std::move(timer));
    case TIMER_PRIORITY_NORMAL:
        return update(normalMap, name, std::move(timer));
    case TIMER_PRIORITY_LOW:
        return update(lowMap, name, std::move(timer));
    default:
        return 0;
    }
}

int CTimerManager::update(TimerMap &map, const std::string &name, std::unique_ptr<CMTimer> timer)
{
    TimerMap::iterator it = map.find(name);
    if (it != map.end()) {
        // The replaced timer may be the one whose callback is running right
        // now: destroying it would destroy that callback under its feet.
        if (passDepth > 0) {
            retired.push_back(std::move(it->second));
        }
        it->second = std::move(timer);
        tm_printf(TRACE_NOTICE, "update", __LINE__, "update %s\n", name.c_str());
        return 0;
    }
    tm_printf(TRACE_NOTICE, "update", __LINE__, "insert %s\n", name.c_str());
    map.emplace(name, std::move(timer));
    return 0;
}

CMTimer *CTimerManager::findFirst(const std::string &name)
{
    for (TimerMap *map : {&highMap, &normalMap, &lowMap}) {
        TimerMap::iterator it = map->find(name);
        if (it != map->end()) {
            return it->second.get();
        }
    }
    return nullptr;
}

CMTimer *CTimerManager::findTimer(const std::string &name, int priority)
{
    TimerMap *map = priority == TIMER_PRIORITY_HIGH     ? &highMap
                    : priority == TIMER_PRIORITY_NORMAL ? &normalMap
                    : priority == TIMER_PRIORITY_LOW    ? &lowMap
                                                        : nullptr;
    if (map == nullptr) {
        return nullptr;
    }
    TimerMap::iterator it = map->find(name);
    return it == map->end() ? nullptr : it->second.get();
}

int CTimerManager::stopTimer(const std::string &name)
{
    CMTimer *timer = findFirst(name);
    if (timer != nullptr) {
        timer->stop();
    }
    return 0;
}

void CTimerManager::resetTimer(const std::string &name, int periodMs)
{
    CMTimer *timer = findFirst(name);
    if (timer != nullptr) {
        timer->reset(static_cast<uint32_t>(periodMs));
    }
}

int CTimerManager::checkTimerMap(TimerMap &map)
{
    TimerMap::iterator it = map.begin();
    while (it != map.end()) {
        if (it->second->isActive()) {
            it->second->checkTimeout();
            ++it;
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex);
        tm_printf(TRACE_WARM, "checkTimerMap", __LINE__, "remove timer: %s\n", it->first.c_str());
        it = map.erase(it);
    }
    return 0;
}

int CTimerManager::checkTimers()
{
    ++passDepth;
    for (TimerMap *map : {&highMap, &normalMap, &lowMap}) {
        if (!map->empty()) {
            checkTimerMap(*map);
        }
    }
    if (--passDepth == 0) {
        retired.clear();
    }
    return 0;
}

int CTimerManager::msUntilNextDue(int most)
{
    const TimerTime now = TimerClock::now();
    int64_t soonest = most;
    for (TimerMap *map : {&highMap, &normalMap, &lowMap}) {
        for (const auto &timer : *map) {
            const int64_t due = timer.second->msUntilDue(now);
            if (due >= 0 && due < soonest) {
                soonest = due;
            }
        }
    }
    return static_cast<int>(soonest);
}

int CTimerManager::dumpTimerMapInfo()
{
    printf("timer list:\n");
    printf("    Name  \t\tPrior\tState\n");
    printf("_______________________________________________________\n");
    int index = 0;
    const struct {
        TimerMap *map;
        const char *word;
    } maps[] = {{&highMap, "hight"}, {&normalMap, "nomal"}, {&lowMap, "low"}};
    for (const auto &entry : maps) {
        for (const auto &timer : *entry.map) {
            printf("%02d.%-20s  \t%s\t%s\n", index++, timer.first.c_str(), entry.word,
                   timer.second->isActive() ? "true" : "false");
        }
    }
    return 0;
}
