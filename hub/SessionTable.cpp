#include "hub/SessionTable.h"

Session &SessionTable::add(CSocketClient *endpoint, int64_t nowMs)
{
    std::unique_ptr<Session> &slot = sessions[endpoint];
    slot.reset(new Session(endpoint, nowMs));
    return *slot;
}

Session *SessionTable::find(const CSocketClient *endpoint) const
{
    Map::const_iterator it = sessions.find(const_cast<CSocketClient *>(endpoint));
    return it == sessions.end() ? nullptr : it->second.get();
}

SessionTable::Map::iterator SessionTable::position(const CSocketClient *endpoint)
{
    return sessions.find(const_cast<CSocketClient *>(endpoint));
}

std::unique_ptr<Session> SessionTable::remove(Map::iterator at, std::vector<int> &released)
{
    std::unique_ptr<Session> session = std::move(at->second);
    sessions.erase(at);
    released.clear();
    for (size_t id = 0; id < byId.size() && session->ids.any(); ++id) {
        if (session->ids.test(id)) {
            session->ids.reset(id);
            byId[id] = nullptr;
            released.push_back(static_cast<int>(id));
        }
    }
    return session;
}

void SessionTable::bind(int id, Session &session)
{
    if (id < 0 || id >= 256) {
        return;
    }
    Session *&slot = byId[static_cast<size_t>(id)];
    if (slot != nullptr) {
        slot->ids.reset(static_cast<size_t>(id));
    }
    slot = &session;
    session.ids.set(static_cast<size_t>(id));
}

std::vector<int> SessionTable::registeredIds() const
{
    std::vector<int> ids;
    for (size_t id = 0; id < byId.size(); ++id) {
        if (byId[id] != nullptr) {
            ids.push_back(static_cast<int>(id));
        }
    }
    return ids;
}
