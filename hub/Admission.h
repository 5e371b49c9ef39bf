#pragma once
// What the settings let a sender do: with strictModules, who may send under
// which id and register which; with hubCommandsFrom "local", whose hub
// commands are taken; with an access file, what the rules grant the
// identity behind the connection (or a datagram). Every refusal leaves one
// trace or log line (access refusals one per episode and kind).

#include "event/CEventManager.h"
#include "hub/AccessControl.h"
#include "hub/HubSettings.h"
#include "hub/Sender.h"
#include "hub/SessionTable.h"
#include "proto/FrameHeader.h"

class Admission {
public:
    Admission(const HubSettings &hardened, const SessionTable &table, AccessControl &access,
              const CEventManager &events)
        : settings(hardened), sessions(table), rules(access), eventTable(events)
    {
    }

    // The ids only the hub speaks for: itself and the event manager's range.
    static bool reservedId(int id);
    // False (and a trace) for a frame the sender may not send. Always true
    // without strictModules and access rules.
    bool admitFrame(Sender &sender, const FrameHeader &header);
    // False (and a log line) when session may not register id.
    bool admitRegistration(Session &session, int id);
    // With hubCommandsFrom "local": false (and a trace) when the hub's own
    // switches may not be thrown by this sender.
    bool hubCommandAllowed(const Sender &sender, int cmd) const;
    // Whether session may hold every id it holds under the rules in force.
    bool holdsOnlyAllowedIds(const Session &session) const;

private:
    bool admitStrict(const Sender &sender, const FrameHeader &header) const;
    bool admitAccess(Sender &sender, const FrameHeader &header);
    // The grant of a connection or a datagram (access rules on).
    const AccessGrant &grantOf(const Sender &sender);
    // Subscriptions held by the ids of every connection of uid, and the
    // count a frame adds, against subscriptionsPerUid.
    bool withinSubscriptionLimit(const Session &session, int added) const;
    // A refusal, traced once per episode of its kind.
    void refuse(Sender &sender, AccessControl::Right right, const char *what, int value);

    const HubSettings &settings;
    const SessionTable &sessions;
    AccessControl &rules;
    const CEventManager &eventTable;
    unsigned datagramRefusalsTraced = 0;
};
