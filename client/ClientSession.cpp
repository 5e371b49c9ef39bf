#include "client/ClientSession.h"

#include <sys/un.h>

#include <algorithm>
#include <utility>

#include <pellix/Checks.h>
#include <pellix/Wire.h>

#include "client/ClientFrames.h"
#include "proto/FrameHeader.h"
#include "proto/PacketFrame.h"

namespace pellix {

ClientSession::ClientSession(const ClientOptions &options)
    : settings(options), calls(counters.callbackExceptions), builder(options.moduleId),
      splitter(wire::kStartMark, wire::kEndMark)
{
    notices.reserve(8);
}

Result ClientSession::checkOptions() const
{
    Result check;
    if (settings.registerModule) {
        check = checkRegistrationId(settings.moduleId);
        if (check) {
            check = checkName(settings.name);
        }
    } else {
        check = checkModuleId(settings.moduleId, "source id");
    }
    if (!check) {
        return check;
    }
    if (settings.heartbeatMs < 0 || settings.reconnectSeconds < 1 || settings.registerTimeoutMs < 1) {
        return Result(Status::InvalidArgument,
                      "heartbeatMs must be 0 or more, reconnectSeconds and registerTimeoutMs 1 or more");
    }
    if (settings.transport == Transport::Unix) {
        struct sockaddr_un probe;
        const size_t room = sizeof probe.sun_path - 1;
        if (settings.unixPath.empty() || settings.unixPath.size() > room ||
            settings.unixPath.find('\0') != std::string::npos) {
            return Result(Status::InvalidArgument, "unix socket path must be 1 to " + std::to_string(room) +
                                                       " bytes long: \"" + settings.unixPath + "\"");
        }
    } else if (settings.port < 1 || settings.port > 65535) {
        return Result(Status::InvalidArgument, "port " + std::to_string(settings.port) + " is not 1 to 65535");
    }
    return Result();
}

std::string ClientSession::where() const
{
    if (settings.transport == Transport::Unix) {
        return "unix socket " + settings.unixPath;
    }
    return settings.host + ":" + std::to_string(settings.port);
}

std::vector<int> ClientSession::subscriptions() const
{
    return std::vector<int>(subscribed.begin(), subscribed.end());
}

void ClientSession::connected(bool reconnect, int64_t nowMs, std::string &out)
{
    splitter = CDecoupler(wire::kStartMark, wire::kEndMark);
    open = true;
    isRegistered = false;
    if (reconnect) {
        ++counters.reconnects;
        // The loss has been announced; the return is, once the hub answers.
        awaitingRestore = settings.registerModule;
    }
    if (settings.registerModule) {
        registrationSentMs = nowMs;
        builder.registration(settings.name, out);
    }
    // Withdrawn again too: a restarted hub restores every subscription it
    // ever saved.
    builder.eventLists(wire::kCmdSubscribe, std::vector<int>(subscribed.begin(), subscribed.end()), out);
    builder.eventLists(wire::kCmdUnsubscribe, std::vector<int>(withdrawn.begin(), withdrawn.end()), out);
    if (monitorWanted) {
        builder.monitorSwitch(true, out);
    }
    if (reconnect && !settings.registerModule) {
        announce(true);
    }
}

void ClientSession::established()
{
    notices.clear();
    announcedUp = true;
}

void ClientSession::lost()
{
    isRegistered = false;
    awaitingRestore = false;
    announce(false);
}

void ClientSession::closed()
{
    // The splitter is left alone: a callback may close while its frame is
    // still being dispatched from it.
    open = false;
    isRegistered = false;
    awaitingRestore = false;
    announcedUp = false;
    notices.clear();
}

bool ClientSession::registrationOverdue(int64_t nowMs) const
{
    return awaitingRestore && nowMs - registrationSentMs > settings.registerTimeoutMs;
}

void ClientSession::announce(bool up)
{
    if (announcedUp != up) {
        announcedUp = up;
        notices.push_back(up ? 1 : 0);
    }
}

void ClientSession::deliverNotices()
{
    // By index: a callback may close (clearing the list) or lose the
    // connection (adding to it).
    for (size_t i = 0; i < notices.size(); ++i) {
        calls.connection(notices[i] != 0);
    }
    notices.clear();
}

void ClientSession::feed(const void *data, size_t size)
{
    const size_t kChunk = 1u << 20; // the splitter counts in int
    const char *bytes = static_cast<const char *>(data);
    while (size > 0 && open) {
        const size_t chunk = std::min(size, kChunk);
        splitter.append(bytes, static_cast<int>(chunk));
        bytes += chunk;
        size -= chunk;
        const unsigned char *frame = nullptr;
        size_t frameSize = 0;
        while (open && splitter.nextFrame(frame, frameSize) == 0) {
            take(frame, frameSize);
        }
    }
}

void ClientSession::take(const unsigned char *frame, size_t size)
{
    ++counters.framesReceived;
    FrameHeader header;
    if (size > static_cast<size_t>(wire::kMaxFrameSize) ||
        !FrameHeader::decode(frame, static_cast<int>(size), header)) {
        ++counters.malformedFrames;
        return;
    }
    // The hub's answers to this client's own requests never reach the frame
    // callback.
    if (header.srcId == wire::kHubId) {
        switch (header.cmd) {
        case wire::kCmdRegister:
            if (settings.registerModule && header.devId == settings.moduleId) {
                takeRegistration();
                return;
            }
            break;
        case wire::kCmdStatus:
            takeStatusPart(header);
            return;
        case wire::kCmdMonitor:
            takeMonitorRecord(header);
            return;
        default:
            break;
        }
    }
    if (requestState == RequestWaiting && takeReply(header)) {
        return;
    }
    if (header.srcId == wire::kEventSourceId && header.cmd == wire::kCmdPublish && takeDelivery(header)) {
        return;
    }
    FrameView view;
    view.devId = static_cast<uint8_t>(header.devId);
    view.srcId = static_cast<uint8_t>(header.srcId);
    view.cmd = static_cast<uint16_t>(header.cmd);
    view.len = static_cast<uint16_t>(header.len);
    view.payload = header.payload;
    view.payloadSize = static_cast<size_t>(header.payloadSize);
    view.bytes = frame;
    view.size = size;
    calls.frame(view);
}

void ClientSession::takeRegistration()
{
    if (isRegistered) {
        return;
    }
    isRegistered = true;
    if (awaitingRestore) {
        awaitingRestore = false;
        announce(true);
    }
}

// False when no callback takes deliveries: the frame callback gets it then.
bool ClientSession::takeDelivery(const FrameHeader &header)
{
    int event = 0;
    if (!(calls.onEvent || calls.onDeparture) ||
        !PacketFrame::readU16LE(header.payload, header.payloadSize, 0, event)) {
        return false;
    }
    if (event == wire::kDepartureEvent && header.payloadSize == wire::kDepartureSize && calls.onDeparture) {
        calls.departure(header.payload[2]);
        return true;
    }
    if (!calls.onEvent) {
        return false;
    }
    calls.event(event, header.payload + 2, static_cast<size_t>(header.payloadSize) - 2);
    return true;
}

void ClientSession::takeStatusPart(const FrameHeader &header)
{
    if (statusState != StatusWaiting) {
        return;
    }
    switch (status.add(header.payload, header.payloadSize)) {
    case StatusCollector::Complete:
        statusState = StatusComplete;
        break;
    case StatusCollector::TooLarge:
        statusState = StatusTooLarge;
        break;
    default:
        break;
    }
}

bool ClientSession::takeReply(const FrameHeader &header)
{
    if (header.srcId != requestDev || (requestReplyCmd >= 0 && header.cmd != requestReplyCmd)) {
        return false;
    }
    requestReply.devId = static_cast<uint8_t>(header.devId);
    requestReply.srcId = static_cast<uint8_t>(header.srcId);
    requestReply.cmd = static_cast<uint16_t>(header.cmd);
    requestReply.payload.assign(reinterpret_cast<const char *>(header.payload), static_cast<size_t>(header.payloadSize));
    requestState = RequestAnswered;
    return true;
}

void ClientSession::takeMonitorRecord(const FrameHeader &header)
{
    MonitorView view;
    if (!frames::decodeMonitorView(header.payload, static_cast<size_t>(header.payloadSize), view)) {
        return;
    }
    monitorOn = monitorOn || view.kind == wire::kMonitorOn;
    if (view.kind == wire::kMonitorRefused) {
        // No monitor on this connection now, nor after a reconnect.
        monitorRefusal = refusalReason(view);
        monitorWanted = false;
    }
    calls.monitor(view);
}

Result ClientSession::subscribe(const std::vector<int> &events, std::string &out)
{
    for (int event : events) {
        Result r = checkSubscribedEvent(event);
        if (!r) {
            return r; // nothing of a refused list is remembered
        }
    }
    for (int event : events) {
        subscribed.insert(event);
        withdrawn.erase(event);
    }
    builder.eventLists(wire::kCmdSubscribe, events, out);
    return Result();
}

Result ClientSession::unsubscribe(const std::vector<int> &events, std::string &out)
{
    for (int event : events) {
        Result r = checkWithdrawnEvent(event);
        if (!r) {
            return r;
        }
    }
    for (int event : events) {
        subscribed.erase(event);
        withdrawn.insert(event);
    }
    builder.eventLists(wire::kCmdUnsubscribe, events, out);
    return Result();
}

void ClientSession::beginStatus(std::string &out)
{
    status.reset();
    statusState = StatusWaiting;
    hubCommand(wire::kCmdStatus, out);
}

Result ClientSession::endStatus(const Result &waited, std::string &json)
{
    Result r = waited;
    if (r && statusState == StatusTooLarge) {
        r = Result(Status::NoReply, "the hub's status reply passed " +
                                        std::to_string(StatusCollector::kDefaultMaxBytes >> 20) + " MiB");
    } else if (r && statusState != StatusComplete) {
        r = Result(Status::NoReply, "the hub's status reply is not complete");
    }
    if (r) {
        json = status.text();
    }
    statusState = StatusIdle;
    status.reset();
    return r;
}

Result ClientSession::beginRequest(int devId, int cmd, const void *data, size_t size, int replyCmd, std::string &out)
{
    if (!settings.registerModule) {
        return Result(Status::InvalidArgument,
                      "request() needs a client that registers: replies go to the id it registered under");
    }
    if (devId >= wire::kEventSourceId && devId <= 0xFF) {
        return Result(Status::InvalidArgument, "frames to 0xe1 and above are event commands: nothing replies to them");
    }
    if (replyCmd > 0xFFFF) {
        return Result(Status::InvalidArgument, "the reply command " + std::to_string(replyCmd) + " is not 0 to 0xffff");
    }
    const Result r = builder.frame(devId, cmd, data, size, out);
    if (r) {
        requestState = RequestWaiting;
        requestDev = devId;
        requestReplyCmd = replyCmd < 0 ? -1 : replyCmd;
        requestReply = Reply();
    }
    return r;
}

Result ClientSession::endRequest(const Result &waited, Reply &reply)
{
    const bool answered = requestState == RequestAnswered;
    requestState = RequestIdle;
    if (answered) {
        reply = std::move(requestReply);
        requestReply = Reply();
        return Result();
    }
    return waited ? Result(Status::NoReply, "the request was not answered") : waited;
}

void ClientSession::beginMonitor(std::string &out)
{
    monitorOn = false;
    monitorRefusal.clear();
    builder.monitorSwitch(true, out);
}

Result ClientSession::endMonitor(const Result &waited, std::string &out)
{
    Result r = waited;
    if (r && !monitorOn && !monitorRefusal.empty()) {
        r = Result(Status::Refused, "the hub at " + where() + " refused the monitor: " + monitorRefusal);
    } else if (r && !monitorOn) {
        r = Result(Status::NoReply, "the hub at " + where() + " did not answer the monitor request");
    }
    monitorWanted = r.ok();
    if (!r && r.status() != Status::Refused) {
        stopMonitor(out);
    }
    return r;
}

void ClientSession::stopMonitor(std::string &out)
{
    monitorWanted = false;
    builder.monitorSwitch(false, out);
}

} // namespace pellix
