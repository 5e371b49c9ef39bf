#include "net/CSocketManager.h"

#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <boost/bind/bind.hpp>

#include "timer/TimerClock.h"
#include "trace/PrintableText.h"
#include "trace/Trace.h"

CSocketManager::CSocketManager() : running(true), timerManager(new CTimerManager()), checkInterval(10)
{
    using namespace boost::placeholders;
    addTimer("checkConnection", boost::bind(&CSocketManager::checkConnection, this, _1, _2), -1,
             checkInterval * 1000, TIMER_PRIORITY_NORMAL, nullptr, 0);
}

CSocketManager::~CSocketManager()
{
    timerManager.reset();
    // Accepted connections belong to the map; servers and outgoing clients
    // belong to whoever created them.
    for (const auto &entry : socketMap) {
        if (entry.second != nullptr && entry.second->getConnType() == CObjectBase::kAccepted &&
            std::find(displaced.begin(), displaced.end(), entry.second) == displaced.end()) {
            delete entry.second;
        }
    }
    reapDisplacedLocked();
}

void CSocketManager::storeLocked(int fd, CObjectBase *endpoint)
{
    if (epoll && fd >= 0 && endpoint != nullptr) {
        epoll->watch(fd, endpoint);
    }
    std::map<int, CObjectBase *>::iterator it = socketMap.find(fd);
    index(fd, endpoint);
    if (it == socketMap.end()) {
        socketMap.emplace(fd, endpoint);
        return;
    }
    CObjectBase *previous = it->second;
    // A number can only be reused once its earlier holder has closed it; an
    // accepted endpoint pushed out that way would never be reaped otherwise.
    if (previous != endpoint && previous != nullptr && !previous->isConnected() &&
        !previous->isDescriptorOpen() && previous->getConnType() == CObjectBase::kAccepted &&
        std::find(displaced.begin(), displaced.end(), previous) == displaced.end()) {
        displaced.push_back(previous);
    }
    it->second = endpoint;
}

int CSocketManager::add(int fd, CObjectBase *endpoint)
{
    std::lock_guard<std::mutex> lock(mapMutex);
    if (fd < 0) {
        // A server that failed to start holds no descriptor; it waits under
        // a key of its own for the check that starts it again.
        storeLocked(nextDetachedKey--, endpoint);
        return 0;
    }
    if (fd >= FD_SETSIZE && !epoll) {
        tm_printf(TRACE_ERROR, "add", __LINE__, "fd %d is beyond the select limit %d, never watched\n", fd,
                  FD_SETSIZE);
    }
    if (socketMap.count(fd) != 0) {
        tm_printf(TRACE_NOTICE, "add", __LINE__, "socket map alread has fd %d, now update\n", fd);
    }
    storeLocked(fd, endpoint);
    return 0;
}

int CSocketManager::remove(int fd)
{
    std::lock_guard<std::mutex> lock(mapMutex);
    std::map<int, CObjectBase *>::iterator it = socketMap.find(fd);
    if (it == socketMap.end()) {
        return -1;
    }
    tm_printf(TRACE_NOTICE, "remove", __LINE__, "find fd %d, now delete\n", fd);
    if (epoll && fd >= 0) {
        epoll->unwatch(fd);
    }
    index(fd, nullptr);
    socketMap.erase(it);
    return 0;
}

void CSocketManager::index(int fd, CObjectBase *endpoint)
{
    if (fd < 0) {
        return;
    }
    if (static_cast<size_t>(fd) >= byFd.size()) {
        if (endpoint == nullptr) {
            return;
        }
        byFd.resize(static_cast<size_t>(fd) + 1 + byFd.size() / 2, nullptr);
    }
    byFd[static_cast<size_t>(fd)] = endpoint;
}

int CSocketManager::find(int fd, CObjectBase *&endpoint)
{
    // Descriptors are found by index: the loop looks every ready one up, and
    // a tree of thousands of connections would cost it a walk each time.
    if (fd >= 0) {
        CObjectBase *found = static_cast<size_t>(fd) < byFd.size() ? byFd[static_cast<size_t>(fd)] : nullptr;
        if (found == nullptr) {
            return -1;
        }
        endpoint = found;
        return 0;
    }
    std::map<int, CObjectBase *>::iterator it = socketMap.find(fd);
    if (it == socketMap.end()) {
        return -1;
    }
    endpoint = it->second;
    return 0;
}

int CSocketManager::collectFds(int &highest, int64_t nowMs)
{
    readFds.clear();
    writeFds.clear();
    if (socketMap.empty()) {
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(mapMutex);
        for (const auto &entry : socketMap) {
            CObjectBase *endpoint = entry.second;
            // Descriptors at or above FD_SETSIZE cannot go into an fd_set.
            if (entry.first < 0 || entry.first >= FD_SETSIZE || endpoint == nullptr || !endpoint->isConnected()) {
                continue;
            }
            if (endpoint->hasUnsentBytes()) {
                const int64_t still = endpoint->sendQueueStillMs(nowMs);
                if (stallTimeout > 0 && still >= stallTimeout) {
                    stalled.push_back(Stalled{entry.first, endpoint, still});
                    continue;
                }
                writeFds.push_back(entry.first);
            }
            readFds.push_back(entry.first);
            highest = std::max(highest, entry.first);
        }
    }
    return stalled.empty() ? 0 : closeStalled();
}

int CSocketManager::closeStalled()
{
    // Outside the map's lock: the owners' callbacks may add or remove
    // entries, so each one is looked up again before it is closed.
    int closed = 0;
    for (const Stalled &entry : stalled) {
        CObjectBase *endpoint = nullptr;
        if (find(entry.key, endpoint) == 0 && endpoint == entry.endpoint && endpoint->isConnected()) {
            tm_printf(TRACE_WARM, "collectFds", __LINE__, "send queue of fd %d stuck for %lld ms, closing\n",
                      endpoint->getFd(), static_cast<long long>(entry.stillMs));
            endpoint->loseConnection();
            ++closed;
        }
    }
    stalled.clear();
    return closed;
}

void CSocketManager::flushWritable(const fd_set &writeSet)
{
    for (int fd : writeFds) {
        CObjectBase *endpoint = nullptr;
        if (FD_ISSET(fd, &writeSet) && find(fd, endpoint) == 0 && endpoint != nullptr) {
            endpoint->flushUnsent();
        }
    }
}

bool CSocketManager::useEpoll()
{
    std::unique_ptr<EpollLoop> loop(new EpollLoop(*this));
    if (!loop->ok()) {
        const int err = errno;
        tm_printf(TRACE_ERROR, "useEpoll", __LINE__, "no epoll (%s), the select loop stays\n", strerror(err));
        return false;
    }
    std::lock_guard<std::mutex> lock(mapMutex);
    epoll = std::move(loop);
    for (const auto &entry : socketMap) {
        if (entry.first >= 0 && entry.second != nullptr) {
            epoll->watch(entry.first, entry.second);
        }
    }
    return true;
}

int CSocketManager::runPass(int timeoutMs)
{
    if (!running) {
        tm_printf(TRACE_ALERT, "startSelect", __LINE__, "select stop\n");
        return 0;
    }
    fd_set readSet;
    fd_set writeSet;
    FD_ZERO(&readSet);
    int highest = 0;

    timerManager->checkTimers();
    for (const std::function<void()> &hook : passHooks) {
        hook();
    }
    if (epoll) {
        const TimerTime now = TimerClock::now();
        return epoll->pass(timerManager->msUntilNextDue(timeoutMs), now.sec * 1000 + now.usec / 1000, stallTimeout,
                           servePause);
    }
    const TimerTime now = TimerClock::now();
    const int64_t nowMs = now.sec * 1000 + now.usec / 1000;
    if (collectFds(highest, nowMs) > 0) {
        // What the owners of the closed connections sent meanwhile is
        // watched from this pass on.
        highest = 0;
        collectFds(highest, nowMs);
    }
    for (int fd : readFds) {
        FD_SET(fd, &readSet);
    }
    if (!writeFds.empty()) {
        FD_ZERO(&writeSet);
        for (int fd : writeFds) {
            FD_SET(fd, &writeSet);
        }
    }
    struct timeval timeout;
    timeout.tv_sec = timeoutMs / 1000;
    timeout.tv_usec = (timeoutMs % 1000) * 1000;
    const int ready =
        select(highest + 1, &readSet, writeFds.empty() ? nullptr : &writeSet, nullptr, &timeout);
    if (ready == 0) {
        return 1;
    }
    if (ready < 0) {
        const int err = errno;
        perror("select");
        tm_printf(TRACE_ERROR, "startSelect", __LINE__, "select ret %d , errno: %d:%s \n", ready, err,
                  strerror(err));
        return -1;
    }
    if (!writeFds.empty()) {
        flushWritable(writeSet);
    }
    for (int fd : readFds) {
        if (!FD_ISSET(fd, &readSet)) {
            continue;
        }
        // Looked up again: an earlier handler of this pass may have replaced
        // the entry. Endpoints are only deleted by checkConnection, which
        // runs from the timers at the top of a pass, never inside a handler.
        CObjectBase *endpoint = nullptr;
        if (find(fd, endpoint) == 0 && endpoint != nullptr) {
            endpoint->onReadAble();
        }
        if (servePause > 0) {
            usleep(servePause);
        }
    }
    return 1;
}

int CSocketManager::startSelect()
{
    for (;;) {
        const int result = runPass(100);
        if (result <= 0) {
            return result;
        }
    }
}

void CSocketManager::reapDisplacedLocked()
{
    for (CObjectBase *endpoint : displaced) {
        delete endpoint;
    }
    displaced.clear();
}

int CSocketManager::checkConnection(const void *, int)
{
    tm_printf(TRACE_DEBUG, "checkConnection", __LINE__, "checkConnection \n");
    std::lock_guard<std::mutex> lock(mapMutex);
    reapDisplacedLocked();
    std::vector<int> eraseList;
    for (std::map<int, CObjectBase *>::iterator it = socketMap.begin(); it != socketMap.end(); ++it) {
        CObjectBase *endpoint = it->second;
        if (endpoint == nullptr || endpoint->isConnected()) {
            continue;
        }
        const int key = it->first;
        tm_printf(TRACE_DEBUG, "checkConnection", __LINE__, "find disconnect fd: %d \n", key);
        const int oldFd = endpoint->getFd();
        endpoint->closeSocket();
        if (endpoint->connectToHost() <= 0 && endpoint->getConnType() == CObjectBase::kAccepted) {
            tm_printf(TRACE_WARM, "checkConnection", __LINE__, "del fd: %d \n", key);
            delete endpoint;
            it->second = nullptr;
            index(key, nullptr);
            eraseList.push_back(key);
            continue;
        }
        const int newFd = endpoint->getFd();
        if (newFd < 0) {
            continue; // still no descriptor: stays under its key
        }
        if (newFd != oldFd || newFd != key) {
            eraseList.push_back(key);
        }
        // Keys are erased after the walk; a key reused by this endpoint's
        // new descriptor must survive that.
        eraseList.erase(std::remove(eraseList.begin(), eraseList.end(), newFd), eraseList.end());
        storeLocked(newFd, endpoint);
    }
    for (int key : eraseList) {
        // A key its endpoint's new descriptor reused was kept off this list.
        std::map<int, CObjectBase *>::iterator it = socketMap.find(key);
        if (it != socketMap.end() && it->second != nullptr && byFd.size() > static_cast<size_t>(key) &&
            byFd[static_cast<size_t>(key)] == it->second) {
            index(key, nullptr);
        }
        socketMap.erase(key);
    }
    return 0;
}

void CSocketManager::setCheckInterval(int seconds)
{
    checkInterval = seconds;
    resetTimer("checkConnection", seconds * 1000);
}

int CSocketManager::dumpSocketMapInfo()
{
    timerManager->dumpTimerMapInfo();
    if (socketMap.empty()) {
        tm_printf(TRACE_ERROR, "dumpSocketMapInfo", __LINE__, "socket map has no fd!\n");
        return -1;
    }
    printf("socket map list:\n");
    printf("name                socketfd        State\n");
    printf("_______________________________________________________\n");
    for (const auto &entry : socketMap) {
        CObjectBase *endpoint = entry.second;
        if (endpoint == nullptr) {
            continue;
        }
        // Connections carry the names modules gave themselves: escaped and
        // cut, so that a table can neither drive the console nor flood it.
        const std::string name = PrintableText::escape(
            endpoint->getName(), endpoint->getConnType() == CObjectBase::kAccepted ? PrintableText::kMaxPrintedBytes
                                                                               : endpoint->getName().size());
        printf("%20s        %02d        %-12s\n", name.c_str(), endpoint->getFd(),
               endpoint->isConnected() ? "connected" : "disconnected");
    }
    return 0;
}

int CSocketManager::addTimer(const std::string &name, const TimerCallback &callback, int count, int periodMs,
                             int priority, const void *data, int len)
{
    return timerManager->addTimer(name, callback, count, periodMs, priority, data, len);
}

int CSocketManager::stopTimer(const std::string &name)
{
    return timerManager->stopTimer(name);
}

void CSocketManager::resetTimer(const std::string &name, int periodMs)
{
    timerManager->resetTimer(name, periodMs);
}
