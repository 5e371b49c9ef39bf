#pragma once
// The hub's sessions, one per accepted stream connection, and the id table:
// which session each module id is registered to. A forwarded frame finds its
// receiver with one index into that table.
//
// Sessions are walked in the order of their endpoints' addresses, as the
// heartbeat check has always walked its connections.

#include <array>
#include <map>
#include <memory>
#include <vector>

#include "hub/Session.h"

class CSocketClient;

class SessionTable {
public:
    typedef std::map<CSocketClient *, std::unique_ptr<Session>> Map;

    Session &add(CSocketClient *endpoint, int64_t nowMs);
    Session *find(const CSocketClient *endpoint) const;
    // Takes the session out of the table, its ids with it (ascending, in
    // released); the caller holds it for its last words.
    std::unique_ptr<Session> remove(Map::iterator at, std::vector<int> &released);
    Map::iterator position(const CSocketClient *endpoint);

    // The session module id is registered to, or null.
    Session *holder(int id) const { return id >= 0 && id < 256 ? byId[static_cast<size_t>(id)] : nullptr; }
    // Registers id to session, taking it from whoever held it.
    void bind(int id, Session &session);

    Map &all() { return sessions; }
    const Map &all() const { return sessions; }
    size_t size() const { return sessions.size(); }
    // The module ids registered, ascending.
    std::vector<int> registeredIds() const;

private:
    Map sessions;
    std::array<Session *, 256> byId{};
};
