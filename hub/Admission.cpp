#include "hub/Admission.h"

#include "hub/HubLog.h"
#include "net/CSocketClient.h"
#include "proto/EventList.h"
#include "proto/PacketFrame.h"
#include "trace/Trace.h"

bool Admission::reservedId(int id)
{
    return id == CENTER_DEV_ID || id > MAX_FORWARD_DEV_ID;
}

bool Admission::admitFrame(Sender &sender, const FrameHeader &h)
{
    return admitStrict(sender, h) && admitAccess(sender, h);
}

// The frame's srcId is who the sender claims to be: over a stream it must be
// an id this very connection registered; a datagram (which nothing ties to an
// id) may not claim an id a stream holds, nor subscribe or unsubscribe; no
// forwarded frame may claim one of the hub's ids; nobody may publish the
// departure event, which only the hub announces.
bool Admission::admitStrict(const Sender &sender, const FrameHeader &h) const
{
    if (!settings.strictModules) {
        return true;
    }
    const char *why = nullptr;
    const Session *owner = sessions.holder(h.srcId);
    if (sender.isStream() && !(h.devId == CENTER_DEV_ID && h.cmd == CMD_REG)) {
        if (owner != sender.session) {
            why = "srcId not registered on this connection";
        }
    } else if (!sender.isStream() && owner != nullptr) {
        why = "srcId held by a stream connection";
    }
    // The hub's own ids as a sender would let a frame pass for the hub's:
    // a departure notice, say.
    if (why == nullptr && h.devId != CENTER_DEV_ID && h.devId <= MAX_FORWARD_DEV_ID && reservedId(h.srcId)) {
        why = "srcId reserved for the hub";
    }
    if (why == nullptr && h.devId > MAX_FORWARD_DEV_ID) {
        const int event = h.payloadSize >= 2 ? (h.payload[0] | (h.payload[1] << 8)) : -1;
        if (!sender.isStream() && (h.cmd == CMD_REG_EVENT || h.cmd == CMD_UNREG_EVENT)) {
            why = "subscriptions come over a stream";
        } else if (h.cmd == CMD_PUBLISH_EVENT && event == 0) {
            why = "only the hub publishes event 0";
        }
    }
    if (why == nullptr) {
        return true;
    }
    tm_printf(TRACE_INFO, "routeFrame", __LINE__, "drop frame from srcId [%02x] to devId [%02x], cmd 0x%04x: %s\n",
              h.srcId, h.devId, h.cmd, why);
    return false;
}

const AccessGrant &Admission::grantOf(const Sender &sender)
{
    return sender.isStream() && sender.session->grant ? *sender.session->grant : rules.datagramGrant();
}

void Admission::refuse(Sender &sender, AccessControl::Right right, const char *what, int value)
{
    unsigned &traced = sender.isStream() ? sender.session->refusalsTraced : datagramRefusalsTraced;
    const unsigned bit = 1u << right;
    if ((traced & bit) != 0) {
        return;
    }
    traced |= bit;
    if (sender.isStream()) {
        const PeerIdentity &who = sender.session->identity;
        tm_printf(TRACE_WARM, "routeFrame", __LINE__, "access refused to fd %d (%s uid %d): %s %d\n",
                  sender.endpoint()->getFd(), who.kindName(), who.known ? static_cast<int>(who.uid) : -1, what,
                  value);
    } else {
        tm_printf(TRACE_WARM, "routeFrame", __LINE__, "access refused to a datagram: %s %d\n", what, value);
    }
}

bool Admission::admitAccess(Sender &sender, const FrameHeader &h)
{
    if (!rules.enabled()) {
        return true;
    }
    const AccessGrant &granted = grantOf(sender);
    AccessControl::Right right;
    const char *what = nullptr;
    int value = h.cmd;
    bool allowed = true;
    if (h.devId == CENTER_DEV_ID) {
        switch (h.cmd) {
        case CMD_DATA_PRINT:
        case CMD_DUMP_SOCKET:
        case CMD_SET_DEBUG_LEVEL:
            right = AccessControl::kCommands;
            allowed = granted.commands;
            what = "hub command";
            break;
        case CMD_STATUS:
        case CMD_MONITOR:
            right = AccessControl::kInspect;
            allowed = granted.inspect;
            what = "look inside with command";
            break;
        default:
            return true; // registration (checked with its id), heartbeat, report, the reload
        }
    } else if (h.devId <= MAX_FORWARD_DEV_ID) {
        right = AccessControl::kSend;
        allowed = granted.sendTo.test(static_cast<size_t>(h.devId));
        what = "send to";
        value = h.devId;
    } else if (h.cmd == CMD_PUBLISH_EVENT) {
        value = h.payloadSize >= 2 ? (h.payload[0] | (h.payload[1] << 8)) : -1;
        right = AccessControl::kPublish;
        allowed = value >= 0 && granted.publish.test(static_cast<size_t>(value));
        what = "publish event";
    } else if (h.cmd == CMD_REG_EVENT || h.cmd == CMD_UNREG_EVENT) {
        // Only for an id the sender may hold, and a whole list or nothing.
        right = AccessControl::kSubscribe;
        allowed = granted.registerIds.test(static_cast<size_t>(h.srcId));
        what = "subscriptions of module";
        value = h.srcId;
        const int count = EventList::listedCount(h.payload, h.claimedPayload());
        for (int i = 0; allowed && h.cmd == CMD_REG_EVENT && i < count; ++i) {
            value = EventList::listedEvent(h.payload, i);
            allowed = granted.subscribe.test(static_cast<size_t>(value));
            what = "subscribe to event";
        }
        if (allowed && h.cmd == CMD_REG_EVENT && sender.isStream() &&
            !withinSubscriptionLimit(*sender.session, count)) {
            allowed = false;
            what = "subscriptions beyond the uid's limit, adding";
            value = count;
        }
    } else {
        return true;
    }
    if (allowed) {
        (sender.isStream() ? sender.session->refusalsTraced : datagramRefusalsTraced) &= ~(1u << right);
        return true;
    }
    refuse(sender, right, what, value);
    return false;
}

bool Admission::withinSubscriptionLimit(const Session &session, int added) const
{
    const size_t most = rules.limits().subscriptionsPerUid;
    if (most == 0 || !session.identity.known) {
        return true;
    }
    std::bitset<256> ids;
    for (const auto &entry : sessions.all()) {
        const Session &other = *entry.second;
        if (other.identity.known && other.identity.uid == session.identity.uid) {
            ids |= other.ids;
        }
    }
    ids.set(static_cast<size_t>(0), false);
    size_t held = 0;
    for (const auto &event : eventTable.getTable()) {
        for (int id : event.second) {
            held += id >= 0 && id < 256 && ids.test(static_cast<size_t>(id)) ? 1 : 0;
        }
    }
    return held + static_cast<size_t>(added) <= most;
}

bool Admission::admitRegistration(Session &session, int id)
{
    if (settings.strictModules && reservedId(id)) {
        HubLog::log(spdlog::level::warn, "reg refused fd: {}, dev: {}: the id is the hub's own",
                    session.endpoint->getFd(), static_cast<unsigned>(id));
        return false;
    }
    const Session *holder = sessions.holder(id);
    if (settings.strictModules && holder != nullptr && holder != &session) {
        HubLog::log(spdlog::level::warn, "reg refused fd: {}, dev: {}: the id is held by fd {}",
                    session.endpoint->getFd(), static_cast<unsigned>(id), holder->endpoint->getFd());
        return false;
    }
    if (rules.enabled() && session.grant && !session.grant->registerIds.test(static_cast<size_t>(id & 0xff))) {
        HubLog::log(spdlog::level::warn, "reg refused fd: {}, dev: {}: not allowed for {} uid {}",
                    session.endpoint->getFd(), static_cast<unsigned>(id), session.identity.kindName(),
                    session.identity.known ? static_cast<long>(session.identity.uid) : -1L);
        ++session.traffic.droppedRefused;
        return false;
    }
    return true;
}

bool Admission::holdsOnlyAllowedIds(const Session &session) const
{
    return !session.grant || (session.ids & ~session.grant->registerIds).none();
}

bool Admission::hubCommandAllowed(const Sender &sender, int cmd) const
{
    if (!settings.localHubCommands) {
        return true;
    }
    const bool local = sender.isStream() ? sender.session->loopbackPeer : sender.loopback;
    if (!local) {
        tm_printf(TRACE_WARM, "processCenterData", __LINE__, "hub command 0x%04x refused: not from this host\n", cmd);
    }
    return local;
}
