#include "hub/Admission.h"

#include "hub/HubLog.h"
#include "net/CSocketClient.h"
#include "proto/PacketFrame.h"
#include "trace/Trace.h"

bool Admission::reservedId(int id)
{
    return id == CENTER_DEV_ID || id > MAX_FORWARD_DEV_ID;
}

// The frame's srcId is who the sender claims to be: over a stream it must be
// an id this very connection registered; a datagram (which nothing ties to an
// id) may not claim an id a stream holds, nor subscribe or unsubscribe; no
// forwarded frame may claim one of the hub's ids; nobody may publish the
// departure event, which only the hub announces.
bool Admission::admitFrame(const Sender &sender, const FrameHeader &h) const
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

bool Admission::admitRegistration(const Session &session, int id) const
{
    if (!settings.strictModules) {
        return true;
    }
    if (reservedId(id)) {
        HubLog::log(spdlog::level::warn, "reg refused fd: {}, dev: {}: the id is the hub's own",
                    session.endpoint->getFd(), static_cast<unsigned>(id));
        return false;
    }
    const Session *holder = sessions.holder(id);
    if (holder != nullptr && holder != &session) {
        HubLog::log(spdlog::level::warn, "reg refused fd: {}, dev: {}: the id is held by fd {}",
                    session.endpoint->getFd(), static_cast<unsigned>(id), holder->endpoint->getFd());
        return false;
    }
    return true;
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
