#include "hub/CPellix.h"

#include <climits>

#include <boost/bind/bind.hpp>

#include "hub/Clock.h"
#include "hub/HubLog.h"
#include "hub/HubStatus.h"
#include "hub/ModuleName.h"
#include "net/SocketOptions.h"
#include "proto/EventList.h"
#include "proto/PacketFrame.h"
#include "trace/Trace.h"

using namespace boost::placeholders;

CPellix::CPellix(const std::string &regMapPath)
    : socketManager(new CSocketManager()), eventManager(new CEventManager()), delivery(sessions),
      admission(settings, sessions, access, *eventManager),
      status([this] { return statusJson(); }, sessions, delivery, datagramTraffic),
      commands(settings, sessions, delivery, admission, monitor, status, *socketManager),
      subscriptions(regMapPath, *eventManager, settings,
                    boost::bind(&Delivery::sendEventPacket, &delivery, _1, _2, _3, _4)),
      supervisor(settings, sessions, [this](SessionTable::Map::iterator at) { forget(at); }),
      startMs(Clock::nowMs())
{
    commands.setReloadRequest([this] { accessReloadAsked = true; });
}

// Members go in reverse order: the sessions before the socket manager, which
// deletes the connections still in its map before the servers go.
CPellix::~CPellix() = default;

int CPellix::initServers(uint16_t port, const std::string &unixPath)
{
    tcpServer.reset(new CTcpServer(port));
    tcpServer->setName("tcp-svr-" + std::to_string(port));
    tcpServer->setAcceptCallback(boost::bind(&CPellix::onAcceptNewTcpClient, this, _1, _2, _3));

    unixServer.reset(new CUnixServer(unixPath.c_str()));
    unixServer->setName("unix-svr-" + unixPath);
    unixServer->setAcceptCallback(boost::bind(&CPellix::onAcceptNewUnixClient, this, _1, _2, _3));

    udpServer.reset(new CUdpServer(port));
    udpServer->setName("udp-svr-" + std::to_string(port));
    tcpServer->setBindAddress(settings.bindAddress);
    udpServer->setBindAddress(settings.bindAddress);
    udpServer->setReadCallback(boost::bind(&CPellix::onReadDatagram, this, _1, _2, _3, _4));
    if (socketManager->usesEpoll()) {
        // Connections are bounded by RLIMIT_NOFILE alone.
        tcpServer->setDescriptorCeiling(INT_MAX);
        unixServer->setDescriptorCeiling(INT_MAX);
    }
    status.setDatagramServer(udpServer.get());

    udpSplitters.reset(new CDatagramSplitters());
    return 0;
}

void CPellix::setSettings(const HubSettings &hardened)
{
    settings = hardened;
    monitor.setMaxMonitors(settings.maxMonitors);
    access.load(settings.accessFile);
    if (settings.eventLoop == HubSettings::LOOP_EPOLL && !socketManager->usesEpoll() &&
        !socketManager->useEpoll()) {
        settings.eventLoop = HubSettings::LOOP_SELECT;
    }
    if (settings.servePauseUs >= 0) {
        socketManager->setServePauseUs(static_cast<unsigned>(settings.servePauseUs));
    }
}

int CPellix::run(const std::function<void()> &listening)
{
    if (tcpServer) {
        tcpServer->startServer();
        socketManager->add(tcpServer->getFd(), tcpServer.get());
    }
    if (unixServer) {
        unixServer->startServer();
        socketManager->add(unixServer->getFd(), unixServer.get());
    }
    if (udpServer) {
        udpServer->startServer();
        socketManager->add(udpServer->getFd(), udpServer.get());
    }
    socketManager->addTimer("heartCmdCheck", boost::bind(&CPellix::heartCmdCheck, this, _1, _2), -1,
                            Supervisor::kHeartPeriodMs, TIMER_PRIORITY_NORMAL, nullptr, 0);
    socketManager->addPassHook([this] { status.answerLate(); });
    if (access.enabled()) {
        socketManager->addPassHook([this] { enforceAccess(); });
    }
    if (listening) {
        listening();
    }
    return socketManager->startSelect();
}

bool CPellix::listening(std::string *waiting) const
{
    bool all = true;
    const CObjectBase *servers[] = {tcpServer.get(), unixServer.get(), udpServer.get()};
    for (const CObjectBase *server : servers) {
        if (server == nullptr || !server->isConnected()) {
            all = false;
            if (waiting != nullptr && server != nullptr) {
                *waiting += (waiting->empty() ? "" : ", ") + server->getName();
            }
        }
    }
    return all;
}

TrafficCounters CPellix::totalTraffic() const
{
    TrafficCounters total = closedTraffic;
    total.add(datagramTraffic);
    for (const auto &entry : sessions.all()) {
        total.add(entry.second->counters());
    }
    return total;
}

std::string CPellix::statusJson() const
{
    return HubStatus::build(*this, Clock::nowMs());
}

void CPellix::acceptClient(CSocketClient *client, const char *func, int line, const char *format)
{
    client->setReadCallback(boost::bind(&CPellix::onReadSocketData, this, _1, _2, _3));
    socketManager->add(client->getFd(), client);
    PeerIdentity who = PeerIdentity::ofConnection(client->getFd(), access.enabled());
    if (access.enabled() && !access.admitConnection(who)) {
        HubLog::log(spdlog::level::warn, "connection fd {} of uid {} refused: it has {} connections already",
                    client->getFd(), static_cast<unsigned long>(who.uid), access.limits().connectionsPerUid);
        client->closeSocket();
        return;
    }
    Session &session = sessions.add(client, Clock::nowMs());
    session.identity = who;
    if (access.enabled()) {
        session.grant = access.grantFor(who);
        session.countedForUid = who.known;
    }
    if (settings.localHubCommands) {
        session.loopbackPeer = peerOnLoopback(client->getFd());
    }
    if (who.kind != PeerIdentity::kUnixSocket) {
        session.peer = peerAddressText(client->getFd());
    }
    if (settings.sendQueueBytes > 0) {
        client->setSendQueueLimit(settings.sendQueueBytes);
    }
    if (socketManager->usesEpoll()) {
        // The loop reads a connection until it is empty: larger reads route
        // more frames per write.
        client->setReadSize(CSocketClient::kLargeReadSize);
    }
    // Each read comes with its session: no lookup among the connections.
    // The session outlives every read of its endpoint, which is closed
    // before the session is forgotten.
    client->setReadCallback(boost::bind(&CPellix::onSessionData, this, &session, _1, _2, _3));
    tm_printf(TRACE_NOTICE, func, line, format, client->getFd());
    socketManager->dumpSocketMapInfo();
}

void CPellix::onAcceptNewTcpClient(CSocketClient *client, CSocketServer *, const void *)
{
    acceptClient(client, "onAcceptNewTcpClient", 472, "recv %d tcp connect\n");
}

void CPellix::onAcceptNewUnixClient(CSocketClient *client, CSocketServer *, const void *)
{
    acceptClient(client, "onAcceptNewUnixClient", 507, "recv %d unix connect\n");
}

void CPellix::onReadSocketData(CSocketClient *client, const void *data, int len)
{
    onSessionData(sessions.find(client), client, data, len);
}

void CPellix::onSessionData(Session *found, CSocketClient *client, const void *data, int len)
{
    if (len <= 0) {
        SessionTable::Map::iterator at = sessions.position(client);
        if (at != sessions.all().end()) {
            forget(at);
        }
        return;
    }
    if (delivery.dataPrint()) {
        tm_dump(data, len, 292, "onReadSocketData");
    }
    if (found == nullptr) {
        return; // not a connection this hub accepted
    }
    Session &session = *found;
    session.missCount = 0;
    session.lastInputMs = Clock::nowMs();
    session.traffic.bytesIn += static_cast<uint64_t>(len);
    session.splitter.append(data, len);
    Sender sender;
    sender.session = &session;
    sender.traffic = &session.traffic;
    routeFrames(session.splitter, sender);
}

void CPellix::onReadDatagram(int, const void *fromAddr, const void *data, int len)
{
    if (len <= 0) {
        if (udpServer) {
            udpServer->closeSocket();
        }
        return;
    }
    if (delivery.dataPrint()) {
        tm_dump(data, len, 236, "onReadSocketData");
    }
    if (!udpSplitters) {
        return;
    }
    datagramTraffic.bytesIn += static_cast<uint64_t>(len);
    Sender sender;
    sender.from = fromAddr;
    sender.loopback = loopbackAddress(fromAddr);
    sender.datagramBytes = static_cast<size_t>(len);
    sender.traffic = &datagramTraffic;
    if (settings.strictModules && !sender.loopback) {
        ++datagramTraffic.droppedRefused;
        tm_printf(TRACE_INFO, "onReadSocketData", __LINE__, "drop datagram from beyond this host\n");
        return;
    }
    CDecoupler &splitter = udpSplitters->splitterFor(fromAddr);
    splitter.append(data, len);
    routeFrames(splitter, sender);
}

void CPellix::routeFrames(CDecoupler &splitter, Sender &sender)
{
    // What the frames of this read make the hub send leaves with one write
    // per connection once they are all routed, before the callback returns.
    // Routing never appends to the splitter it reads from, so each frame can
    // be handled where it lies in the splitter's buffer; nor does it drop
    // the sender, whose session serves the whole read.
    Delivery::Batch batch(delivery);
    const unsigned char *bytes = nullptr;
    size_t size = 0;
    while (splitter.nextFrame(bytes, size) == 0) {
        routeFrame(sender, bytes, static_cast<int>(size));
    }
}

void CPellix::routeFrame(Sender &sender, const unsigned char *bytes, int size)
{
    ++sender.traffic->framesIn;
    // A frame cut shorter than the smallest whole frame has no header.
    FrameHeader h;
    if (!FrameHeader::decode(bytes, size, h)) {
        ++sender.traffic->droppedShort;
        tm_printf(TRACE_WARM, "onReadSocketData", __LINE__, "drop frame of %d bytes, shorter than a header\n", size);
        return;
    }
    if (!admission.admitFrame(sender, h)) {
        ++sender.traffic->droppedRefused;
        monitor.copyFrame(MonitorKind::Dropped, h);
        return;
    }
    if (!monitor.empty()) {
        monitor.copyFrame(monitorKind(h), h);
    }
    if (h.devId == CENTER_DEV_ID) {
        commands.processCenterData(sender, h);
    } else if (h.devId <= MAX_FORWARD_DEV_ID) {
        delivery.forwardData(bytes, size, h.devId, h.srcId, h.cmd);
    } else {
        subscriptions.processRegPublishMsg(h);
    }
}

MonitorKind CPellix::monitorKind(const FrameHeader &h) const
{
    if (h.devId == CENTER_DEV_ID) {
        return h.cmd == CMD_REG ? MonitorKind::Registered : MonitorKind::HubCommand;
    }
    if (h.devId <= MAX_FORWARD_DEV_ID) {
        return sessions.holder(h.devId) != nullptr ? MonitorKind::Forwarded : MonitorKind::Dropped;
    }
    return h.cmd == CMD_PUBLISH_EVENT ? MonitorKind::Published : MonitorKind::HubCommand;
}

void CPellix::heartCmdCheck(const void *, int)
{
    socketManager->dumpSocketMapInfo();
    if (udpSplitters) {
        udpSplitters->expireIdle();
    }
    supervisor.check();
}

void CPellix::forget(SessionTable::Map::iterator at)
{
    CSocketClient *client = at->first;
    closedTraffic.add(at->second->counters());
    status.forget(*at->second);
    if (at->second->countedForUid) {
        access.releaseConnection(at->second->identity);
    }
    monitor.forget(client);
    tm_printf(TRACE_NOTICE, "removerDev", 532, "remove %d decoupler\n", client->getFd());
    std::vector<int> departed;
    const std::unique_ptr<Session> gone = sessions.remove(at, departed);
    // A connection may hold several ids: every one of them is released, since
    // the socket manager will delete the connection at its next check.
    for (int modId : departed) {
        HubLog::log(spdlog::level::warn, "remove modId: {}, fd :{}, mod name: {}", static_cast<unsigned>(modId),
                    client->getFd(), ModuleName::printable(client->getName()));
    }
    for (int modId : departed) {
        if (modId == 0) {
            continue;
        }
        unsigned char payload[EventList::kDepartureSize];
        EventList::departure(payload, modId);
        monitor.copy(MonitorKind::Published, EVENT_MGR_DEV_ID, CENTER_DEV_ID, CMD_PUBLISH_EVENT, payload,
                     sizeof payload);
        subscriptions.announceDeparture(modId);
    }
}

void CPellix::drop(SessionTable::Map::iterator at, const std::string &why)
{
    CSocketClient *client = at->first;
    HubLog::log(spdlog::level::warn, "module {} fd {} closed: {}", ModuleName::printable(client->getName()),
                client->getFd(), why);
    client->closeSocket();
    forget(at);
}

void CPellix::enforceAccess()
{
    if (accessReloadAsked) {
        accessReloadAsked = false;
        applyReloadedRules();
    }
    const int64_t now = Clock::nowMs();
    if (access.limits().queuedBytesPerUid > 0 && (now - queuedCheckedMs >= 250 || now < queuedCheckedMs)) {
        queuedCheckedMs = now;
        enforceQueuedBytes();
    }
}

// The new rules apply to what comes next; a connection that holds an id they
// no longer let it hold is closed, and its departure announced.
void CPellix::applyReloadedRules()
{
    access.reload();
    std::vector<CSocketClient *> forbidden;
    for (auto &entry : sessions.all()) {
        Session &session = *entry.second;
        session.grant = access.grantFor(session.identity);
        session.refusalsTraced = 0;
        if (!admission.holdsOnlyAllowedIds(session)) {
            forbidden.push_back(entry.first);
        }
    }
    Delivery::Batch batch(delivery);
    for (CSocketClient *client : forbidden) {
        drop(sessions.position(client), "the access rules no longer let it hold its id");
    }
}

// The queued bytes of each uid's connections, added up; a uid over its limit
// loses the connection that holds the most.
void CPellix::enforceQueuedBytes()
{
    std::map<uid_t, std::pair<size_t, CSocketClient *>> perUid; // total, and the largest holder
    for (const auto &entry : sessions.all()) {
        const Session &session = *entry.second;
        const size_t queued = entry.first->queuedBytes();
        if (!session.identity.known || queued == 0) {
            continue;
        }
        std::pair<size_t, CSocketClient *> &account = perUid[session.identity.uid];
        if (account.second == nullptr || queued > account.second->queuedBytes()) {
            account.second = entry.first;
        }
        account.first += queued;
    }
    Delivery::Batch batch(delivery);
    for (const auto &account : perUid) {
        if (account.second.first > access.limits().queuedBytesPerUid) {
            drop(sessions.position(account.second.second),
                 "uid " + std::to_string(account.first) + " has " + std::to_string(account.second.first) +
                     " bytes queued, over its limit");
        }
    }
}
