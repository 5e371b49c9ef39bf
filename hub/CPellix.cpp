#include "hub/CPellix.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <boost/bind/bind.hpp>

#include "hub/HubLog.h"
#include "hub/HubStatus.h"
#include "hub/ModuleName.h"
#include "hub/ModuleReport.h"
#include "proto/MonitorRecord.h"
#include "proto/StatusPart.h"
#include "proto/EventList.h"
#include "proto/PacketFrame.h"
#include "hub/ShellCommand.h"
#include "net/PeerProcess.h"
#include "net/SocketOptions.h"
#include "trace/Trace.h"

using namespace boost::placeholders;

CPellix::CPellix(const std::string &path)
    : socketManager(new CSocketManager()), eventManager(new CEventManager()), dataPrint(false), regMapPath(path),
      statusService([this] { return statusJson(); }), startMs(nowMs()), runCommand(ShellCommand::run),
      signalProcess(PeerProcess::signal)
{
    eventSender = boost::bind(&CPellix::sendEventPacket, this, _1, _2, _3, _4);
    if (regMap.loadRegMap(regMapPath) == 3) {
        HubLog::log(spdlog::level::warn, "regMap {} not read: {}", regMapPath, regMap.refusal());
    }
    regMap.replayRegMap(boost::bind(&CEventManager::RegEvent, eventManager.get(), _1, _2));
    // What killall would take for this very process: the kernel's name for
    // it (which an emulator or a wrapper may change) and the program's own.
    char comm[64] = "";
    const int fd = open("/proc/self/comm", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        const ssize_t got = read(fd, comm, sizeof comm - 1);
        close(fd);
        comm[got > 0 ? got : 0] = '\0';
        comm[strcspn(comm, "\n")] = '\0';
    }
    ownNames.insert(comm);
    ownNames.insert(program_invocation_short_name);
}

// Members go in reverse order: the socket manager deletes the connections
// still in its map before the servers go.
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
    udpServer->setReadCallback(
        boost::bind(static_cast<void (CPellix::*)(int, const void *, const void *, int)>(&CPellix::onReadSocketData),
                    this, _1, _2, _3, _4));

    udpDecoupler.reset(new CDatagramSplitters());
    return 0;
}

void CPellix::setKillActions(const CommandRunner &runner, const ProcessSignaller &signaller)
{
    runCommand = runner ? runner : CommandRunner(ShellCommand::run);
    signalProcess = signaller ? signaller : ProcessSignaller(PeerProcess::signal);
}

void CPellix::setSettings(const HubSettings &hardened)
{
    settings = hardened;
    monitor.setMaxMonitors(settings.maxMonitors);
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
                            kHeartPeriodMs, TIMER_PRIORITY_NORMAL, nullptr, 0);
    socketManager->addPassHook([this] { answerLateStatus(); });
    if (listening) {
        listening();
    }
    return socketManager->startSelect();
}

int64_t CPellix::nowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

TrafficCounters CPellix::trafficOf(const CSocketClient *client, const HeartInfo &info) const
{
    TrafficCounters traffic = info.traffic;
    traffic.droppedQueueFull = client->droppedSends();
    return traffic;
}

TrafficCounters CPellix::totalTraffic() const
{
    TrafficCounters total = closedTraffic;
    total.add(datagramTraffic);
    for (const auto &entry : heartMap) {
        total.add(trafficOf(entry.first, *entry.second));
    }
    return total;
}

std::string CPellix::statusJson() const
{
    return HubStatus::build(*this, nowMs());
}

void CPellix::retire(CSocketClient *client, const HeartInfo *info)
{
    if (info != nullptr) {
        closedTraffic.add(trafficOf(client, *info));
        if (info->statusLateFor >= 0) {
            --statusLate;
        }
    }
    monitor.forget(client);
}

const HeartInfo *CPellix::getHeartInfo(CSocketClient *client) const
{
    std::map<CSocketClient *, std::unique_ptr<HeartInfo>>::const_iterator it = heartMap.find(client);
    return it == heartMap.end() ? nullptr : it->second.get();
}

void CPellix::acceptClient(CSocketClient *client, const char *func, int line, const char *format)
{
    client->setReadCallback(
        boost::bind(static_cast<void (CPellix::*)(CSocketClient *, const void *, int)>(&CPellix::onReadSocketData),
                    this, _1, _2, _3));
    socketManager->add(client->getFd(), client);
    decouplerMap[client].reset(new CDecoupler(PacketFrame::kStartMark, PacketFrame::kEndMark));
    HeartInfo *heart = new HeartInfo();
    heartMap[client].reset(heart);
    if (settings.localHubCommands) {
        heart->loopbackPeer = peerOnLoopback(client->getFd());
    }
    heart->connectedAtMs = heart->lastInputMs = nowMs();
    heart->unixSocket = PeerProcess::peerCredentials(client->getFd(), heart->pid, heart->uid);
    if (!heart->unixSocket) {
        heart->peer = peerAddressText(client->getFd());
    }
    if (settings.sendQueueBytes > 0) {
        client->setSendQueueLimit(settings.sendQueueBytes);
    }
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
    std::map<CSocketClient *, std::unique_ptr<HeartInfo>>::iterator heart = heartMap.find(client);
    if (len <= 0) {
        retire(client, heart == heartMap.end() ? nullptr : heart->second.get());
        if (heart != heartMap.end()) {
            heartMap.erase(heart);
        }
        removerDev(client);
        return;
    }
    if (dataPrint) {
        tm_dump(data, len, 292, "onReadSocketData");
    }
    if (heart != heartMap.end()) {
        HeartInfo &info = *heart->second;
        info.missCount = 0;
        info.lastInputMs = nowMs();
        info.traffic.bytesIn += static_cast<uint64_t>(len);
    }
    std::map<CSocketClient *, std::unique_ptr<CDecoupler>>::iterator it = decouplerMap.find(client);
    if (it == decouplerMap.end()) {
        return; // not a connection this hub accepted
    }
    it->second->append(data, len);
    // What the frames of this read make the hub send leaves with one write
    // per connection once they are all routed, before this callback returns.
    outbox.open();
    routeFrames(*it->second, client, heart != heartMap.end() ? &heart->second->traffic : nullptr);
    outbox.flush();
}

void CPellix::onReadSocketData(int, const void *fromAddr, const void *data, int len)
{
    if (len <= 0) {
        if (udpServer) {
            udpServer->closeSocket();
        }
        return;
    }
    if (dataPrint) {
        tm_dump(data, len, 236, "onReadSocketData");
    }
    if (!udpDecoupler) {
        return;
    }
    datagramTraffic.bytesIn += static_cast<uint64_t>(len);
    datagramFromLoopback = loopbackAddress(fromAddr);
    if (settings.strictModules && !datagramFromLoopback) {
        ++datagramTraffic.droppedRefused;
        tm_printf(TRACE_INFO, "onReadSocketData", __LINE__, "drop datagram from beyond this host\n");
        return;
    }
    CDecoupler &splitter = udpDecoupler->splitterFor(fromAddr);
    splitter.append(data, len);
    datagramFrom = fromAddr;
    datagramBytes = static_cast<size_t>(len);
    datagramAnswered = 0;
    outbox.open();
    routeFrames(splitter, nullptr, &datagramTraffic);
    outbox.flush();
    datagramFrom = nullptr;
}

void CPellix::routeFrames(CDecoupler &decoupler, CSocketClient *client, TrafficCounters *traffic)
{
    // Routing never appends to the splitter it reads from, so each frame
    // can be handled where it lies in the splitter's buffer; nor does it
    // drop the sender, whose splitter and counters serve the whole read.
    const unsigned char *bytes = nullptr;
    size_t size = 0;
    while (decoupler.nextFrame(bytes, size) == 0) {
        routeFrame(client, traffic, bytes, static_cast<int>(size));
    }
}

void CPellix::deliver(CSocketClient *client, const void *data, int len)
{
    std::map<CSocketClient *, std::unique_ptr<HeartInfo>>::iterator heart = heartMap.find(client);
    if (heart != heartMap.end()) {
        ++heart->second->traffic.framesOut;
        heart->second->traffic.bytesOut += static_cast<uint64_t>(len);
    }
    outbox.send(client, data, len);
}

void CPellix::deliverPacket(CSocketClient *client, int devId, uint8_t cmd, const void *data, int length, int srcId)
{
    const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
    if (PacketFrame::build(packet, devId, srcId, cmd, data, size)) {
        deliver(client, packet.data(), static_cast<int>(packet.size()));
    } else {
        tm_printf(TRACE_ERROR, "sendPacket", __LINE__, "payload of %d bytes does not fit a frame\n", length);
    }
}

void CPellix::routeFrame(CSocketClient *client, TrafficCounters *traffic, const unsigned char *bytes, int size)
{
    // The header is read at fixed offsets; a frame cut shorter than the
    // smallest whole frame has none.
    if (traffic != nullptr) {
        ++traffic->framesIn;
    }
    if (size < PacketFrame::kMinFrameSize) {
        if (traffic != nullptr) {
            ++traffic->droppedShort;
        }
        tm_printf(TRACE_WARM, "onReadSocketData", __LINE__, "drop frame of %d bytes, shorter than a header\n", size);
        return;
    }
    if (settings.strictModules && !admitStrict(client, bytes, size)) {
        if (traffic != nullptr) {
            ++traffic->droppedRefused;
        }
        monitor.copyFrame(MonitorKind::Dropped, bytes, size);
        return;
    }
    if (!monitor.empty()) {
        monitor.copyFrame(monitorKind(bytes, size), bytes, size);
    }
    const int devId = bytes[PacketFrame::kDevIdOffset];
    if (devId == CENTER_DEV_ID) {
        processCenterData(client, bytes, size);
    } else if (devId <= MAX_FORWARD_DEV_ID) {
        forwardData(bytes, size);
    } else {
        int cmd = 0;
        PacketFrame::readU16LE(bytes, size, PacketFrame::kCmdOffset, cmd);
        processRegPublishMsg(cmd, bytes, size);
    }
}

// The frame's srcId is who the sender claims to be: over a stream it must be
// an id this very connection registered; a datagram (which nothing ties to an
// id) may not claim an id a stream holds, nor subscribe or unsubscribe; no
// forwarded frame may claim one of the hub's ids; nobody may publish the
// departure event, which only the hub announces.
bool CPellix::admitStrict(CSocketClient *client, const unsigned char *bytes, int size)
{
    const int devId = bytes[PacketFrame::kDevIdOffset];
    const int srcId = bytes[PacketFrame::kSrcIdOffset];
    int cmd = 0;
    PacketFrame::readU16LE(bytes, size, PacketFrame::kCmdOffset, cmd);
    const char *why = nullptr;
    std::map<int, CSocketClient *>::const_iterator owner = devMap.find(srcId);
    if (client != nullptr && !(devId == CENTER_DEV_ID && cmd == CMD_REG)) {
        if (owner == devMap.end() || owner->second != client) {
            why = "srcId not registered on this connection";
        }
    } else if (client == nullptr && owner != devMap.end()) {
        why = "srcId held by a stream connection";
    }
    // The hub's own ids as a sender would let a frame pass for the hub's:
    // a departure notice, say.
    if (why == nullptr && devId != CENTER_DEV_ID && devId <= MAX_FORWARD_DEV_ID && reservedId(srcId)) {
        why = "srcId reserved for the hub";
    }
    if (why == nullptr && devId > MAX_FORWARD_DEV_ID) {
        int event = -1;
        PacketFrame::readU16LE(bytes, size - PacketFrame::kEndMarkSize, PacketFrame::kPayloadOffset, event);
        if (client == nullptr && (cmd == CMD_REG_EVENT || cmd == CMD_UNREG_EVENT)) {
            why = "subscriptions come over a stream";
        } else if (cmd == CMD_PUBLISH_EVENT && event == 0) {
            why = "only the hub publishes event 0";
        }
    }
    if (why == nullptr) {
        return true;
    }
    tm_printf(TRACE_INFO, "routeFrame", __LINE__, "drop frame from srcId [%02x] to devId [%02x], cmd 0x%04x: %s\n",
              srcId, devId, cmd, why);
    return false;
}

bool CPellix::hubCommandAllowed(CSocketClient *client, int cmd)
{
    if (!settings.localHubCommands) {
        return true;
    }
    bool local = datagramFromLoopback;
    if (client != nullptr) {
        const HeartInfo *heart = getHeartInfo(client);
        local = heart != nullptr && heart->loopbackPeer;
    }
    if (!local) {
        tm_printf(TRACE_WARM, "processCenterData", __LINE__, "hub command 0x%04x refused: not from this host\n", cmd);
    }
    return local;
}

void CPellix::registerModule(CSocketClient *client, const unsigned char *bytes, int size)
{
    const int srcId = bytes[PacketFrame::kSrcIdOffset];
    if (settings.strictModules && reservedId(srcId)) {
        HubLog::log(spdlog::level::warn, "reg refused fd: {}, dev: {}: the id is the hub's own", client->getFd(),
                    static_cast<unsigned>(srcId));
        return;
    }
    if (settings.strictModules) {
        std::map<int, CSocketClient *>::const_iterator holder = devMap.find(srcId);
        if (holder != devMap.end() && holder->second != client) {
            HubLog::log(spdlog::level::warn, "reg refused fd: {}, dev: {}: the id is held by fd {}",
                             client->getFd(), static_cast<unsigned>(srcId), holder->second->getFd());
            return;
        }
    }
    const std::string name =
        size == PacketFrame::kMinFrameSize
            ? std::to_string(client->getFd())
            : std::string(reinterpret_cast<const char *>(bytes) + PacketFrame::kPayloadOffset,
                          static_cast<size_t>(PacketFrame::payloadSize(size)));
    client->setName(name);
    HubLog::log(spdlog::level::warn, "reg fd: {}, dev: {}, name: {}", client->getFd(),
                     static_cast<unsigned>(srcId), ModuleName::printable(name));
    devMap[srcId] = client;
    deliverPacket(client, srcId, CMD_REG, nullptr, 0, CENTER_DEV_ID);
}

void CPellix::processCenterData(CSocketClient *client, const unsigned char *bytes, int size)
{
    int len = 0;
    int cmd = 0;
    PacketFrame::readU16LE(bytes, size, PacketFrame::kLenOffset, len);
    PacketFrame::readU16LE(bytes, size, PacketFrame::kCmdOffset, cmd);
    tm_printf(TRACE_DEBUG, "processCenterData", 384, "len = %d\n", len);
    switch (cmd) {
    case CMD_REG:
        if (client != nullptr) {
            registerModule(client, bytes, size);
        }
        break;
    case CMD_HEART:
        if (client != nullptr && tm_enabled(TRACE_WARM)) {
            tm_printf(TRACE_WARM, "processCenterData", 411, "heart cmd from dev: %s\n",
                      ModuleName::printable(client->getName()).c_str());
        }
        break;
    case CMD_DATA_PRINT:
        if (!hubCommandAllowed(client, cmd)) {
            break;
        }
        if (dataPrint) {
            dataPrint = false;
            tm_printf(TRACE_ALERT, "processCenterData", 417, "close data print\n");
        } else {
            dataPrint = true;
            tm_printf(TRACE_ALERT, "processCenterData", 422, "open data print\n");
        }
        break;
    case CMD_DUMP_SOCKET:
        if (hubCommandAllowed(client, cmd)) {
            socketManager->dumpSocketMapInfo();
        }
        break;
    case CMD_SET_DEBUG_LEVEL: {
        if (!hubCommandAllowed(client, cmd)) {
            break;
        }
        int level = 0;
        if (!PacketFrame::readS32LE(bytes, size - PacketFrame::kEndMarkSize, PacketFrame::kPayloadOffset, level)) {
            tm_printf(TRACE_WARM, "processCenterData", __LINE__, "debug level needs 4 payload bytes, got %d\n",
                      PacketFrame::payloadSize(size));
            break;
        }
        tm_set_level(level);
        tm_printf(level, "processCenterData", 432, "set debug level: %d\n", level);
        break;
    }
    case CMD_STATUS:
        if (hubCommandAllowed(client, cmd)) {
            sendStatus(client, bytes[PacketFrame::kSrcIdOffset]);
        }
        break;
    case CMD_MONITOR:
        if (hubCommandAllowed(client, cmd)) {
            switchMonitor(client, bytes, size);
        }
        break;
    case CMD_REPORT:
        keepReport(client, bytes, size);
        break;
    default:
        tm_printf(TRACE_ALERT, "processCenterData", 436, "not find this cmd: 0x%04x\n", cmd);
        break;
    }
}

int CPellix::processRegPublishMsg(int cmd, const unsigned char *bytes, int size)
{
    int len = 0;
    int srcId = 0;
    PacketFrame::readU16LE(bytes, size, PacketFrame::kLenOffset, len);
    PacketFrame::readU8(bytes, size, PacketFrame::kSrcIdOffset, srcId);
    // len says how much payload there is, but never more than the frame
    // really holds.
    int payloadLen = len - PacketFrame::kHeaderSize;
    if (payloadLen > PacketFrame::payloadSize(size)) {
        payloadLen = PacketFrame::payloadSize(size);
    }
    if (payloadLen < 0) {
        payloadLen = 0;
    }
    const unsigned char *payload = bytes + PacketFrame::kPayloadOffset;
    switch (cmd) {
    case CMD_REG_EVENT:
        subscribe(payload, payloadLen, srcId);
        break;
    case CMD_UNREG_EVENT:
        eventManager->UnRegEventList(payload, payloadLen, srcId);
        if (settings.recordUnsubscriptions) {
            unrecord(payload, payloadLen, srcId);
        }
        break;
    case CMD_PUBLISH_EVENT:
        eventManager->ProcessEventData(payload, payloadLen, eventSender);
        break;
    default:
        tm_printf(TRACE_INFO, "processRegPublishMsg", 205, "not find this type: 0x%02x\n", cmd);
        break;
    }
    return 0;
}

// Only the events the record admits are subscribed (it bounds what a module
// and all of them may hold), and the record is written only when it gained a
// pair: a repeated subscription costs no write.
void CPellix::subscribe(const unsigned char *payload, int payloadLen, int srcId)
{
    const int count = EventList::listedCount(payload, payloadLen);
    unsigned char admitted[1 + 2 * 255];
    int kept = 0;
    bool changed = false;
    for (int i = 0; i < count; ++i) {
        const int event = EventList::listedEvent(payload, i);
        const int result = regMap.addRegMapEntry(event, srcId);
        if (result < 0) {
            tm_printf(TRACE_WARM, "processRegPublishMsg", __LINE__,
                      "refuse subscription of module 0x%02x to event %d: %s\n", srcId, event,
                      result == -1 ? "the module holds the most events allowed" : "the record is full");
            continue;
        }
        changed = changed || result == 0;
        admitted[1 + 2 * kept] = payload[1 + 2 * i];
        admitted[2 + 2 * kept] = payload[2 + 2 * i];
        ++kept;
    }
    if (count == 0 || kept > 0) {
        // The list as it came when all of it is admitted, so that the event
        // manager sees (and traces) what the module sent.
        if (kept == count) {
            eventManager->RegEventList(payload, payloadLen, srcId);
        } else {
            admitted[0] = static_cast<unsigned char>(kept);
            eventManager->RegEventList(admitted, 1 + 2 * kept, srcId);
        }
    }
    if (changed) {
        regMap.saveRegMap(regMapPath);
    }
}

void CPellix::unrecord(const unsigned char *payload, int payloadLen, int srcId)
{
    const int count = EventList::listedCount(payload, payloadLen);
    bool changed = false;
    for (int i = 0; i < count; ++i) {
        changed = regMap.removeRegMapEntry(EventList::listedEvent(payload, i), srcId) || changed;
    }
    if (changed) {
        regMap.saveRegMap(regMapPath);
    }
}

void CPellix::forwardData(const unsigned char *bytes, int size)
{
    const int devId = bytes[PacketFrame::kDevIdOffset];
    std::map<int, CSocketClient *>::iterator it = devMap.find(devId);
    if (it == devMap.end()) {
        tm_printf(TRACE_INFO, "forwardData", 359, "not find dest devId: %02x\n", devId);
        return;
    }
    if (tm_enabled(TRACE_INFO)) {
        int cmd = 0;
        PacketFrame::readU16LE(bytes, size, PacketFrame::kCmdOffset, cmd);
        tm_printf(TRACE_INFO, "forwardData", 347, "from srcId [%02x] to devId [%02x], cmd: 0x%04x, dataLen: %d\n",
                  bytes[PacketFrame::kSrcIdOffset], devId, cmd, size);
    }
    if (dataPrint) {
        debug_print(bytes, size);
    }
    deliver(it->second, bytes, size);
}

int CPellix::sendEventPacket(int iEvent, int iModId, const void *data, int iLen)
{
    tm_printf(TRACE_DEBUG, "sendEventPacket", 146, "in SendEventPacket, send iEvent: %d, to iModId: 0x%02x,iLen : %d\n",
              iEvent, iModId, iLen);
    std::map<int, CSocketClient *>::iterator it = devMap.find(iModId);
    if (it == devMap.end()) {
        tm_printf(TRACE_INFO, "sendEventPacket", 164, "not find dest devId: %02x\n", iModId);
        return 0;
    }
    tm_printf(TRACE_INFO, "sendEventPacket", 152, "from event mgr to devId [%02x], iEvent: 0x%02x, dataLen: %d\n",
              iModId, iEvent, iLen);
    if (dataPrint) {
        debug_print(data, iLen);
    }
    deliverPacket(it->second, iModId, CMD_PUBLISH_EVENT, data, iLen, EVENT_MGR_DEV_ID);
    return 0;
}

MonitorKind CPellix::monitorKind(const unsigned char *bytes, int size) const
{
    const int devId = bytes[PacketFrame::kDevIdOffset];
    int cmd = 0;
    PacketFrame::readU16LE(bytes, size, PacketFrame::kCmdOffset, cmd);
    if (devId == CENTER_DEV_ID) {
        return cmd == CMD_REG ? MonitorKind::Registered : MonitorKind::HubCommand;
    }
    if (devId <= MAX_FORWARD_DEV_ID) {
        return devMap.count(devId) != 0 ? MonitorKind::Forwarded : MonitorKind::Dropped;
    }
    return cmd == CMD_PUBLISH_EVENT ? MonitorKind::Published : MonitorKind::HubCommand;
}

// A report describes its own connection only, so it is no switch of the
// hub's and is taken from remote peers too.
void CPellix::keepReport(CSocketClient *client, const unsigned char *frame, int size)
{
    std::map<CSocketClient *, std::unique_ptr<HeartInfo>>::iterator heart =
        client != nullptr ? heartMap.find(client) : heartMap.end();
    if (heart == heartMap.end()) {
        tm_printf(TRACE_WARM, "keepReport", __LINE__, "report refused: it needs a stream connection\n");
        return;
    }
    std::string text;
    std::string why;
    if (!ModuleReport::normalise(frame + PacketFrame::kPayloadOffset,
                                 static_cast<size_t>(PacketFrame::payloadSize(size)), text, why)) {
        tm_printf(TRACE_WARM, "keepReport", __LINE__, "report from fd %d refused: %s\n", client->getFd(),
                  why.c_str());
        return;
    }
    tm_printf(TRACE_DEBUG, "keepReport", __LINE__, "report from fd %d: %zu bytes\n", client->getFd(), text.size());
    heart->second->report.swap(text);
}

void CPellix::sendStatus(CSocketClient *client, int srcId)
{
    if (client == nullptr) {
        answerDatagram(srcId);
        return;
    }
    std::map<CSocketClient *, std::unique_ptr<HeartInfo>>::iterator heart = heartMap.find(client);
    if (heart == heartMap.end()) {
        return;
    }
    HeartInfo &info = *heart->second;
    const int64_t now = nowMs();
    // One answer at a time: another waits while the last is still queued,
    // and any beyond the budgets waits for them; repeated requests merge.
    if (info.statusLateFor < 0 && !client->hasUnsentBytes() && statusService.admitStream(info.statusBudget, now)) {
        answerStream(client, info, srcId, now);
        return;
    }
    if (info.statusLateFor < 0) {
        ++statusLate;
        tm_printf(TRACE_INFO, "sendStatus", __LINE__, "status for fd %d answered late: over its rate\n",
                  client->getFd());
    }
    info.statusLateFor = srcId;
}

void CPellix::answerStream(CSocketClient *client, HeartInfo &info, int srcId, int64_t now)
{
    const std::string &text = statusService.document(now);
    packet.clear();
    if (!StatusPart::appendFrames(packet, srcId, text, StatusService::kStreamPartBytes)) {
        tm_printf(TRACE_ERROR, "sendStatus", __LINE__, "status of %zu bytes does not fit a reply\n", text.size());
        return;
    }
    statusService.chargeStream(now, text.size());
    info.traffic.framesOut += static_cast<uint64_t>(StatusPart::partCount(text.size(), StatusService::kStreamPartBytes));
    info.traffic.bytesOut += packet.size();
    // A document can be large: it never makes the loop wait for a reader.
    // Whatever the outbox holds for the connection goes first.
    outbox.writeNow(client);
    client->sendWithoutWaiting(packet.data(), packet.size());
}

void CPellix::answerLateStatus()
{
    if (statusLate == 0) {
        return;
    }
    const int64_t now = nowMs();
    for (const auto &entry : heartMap) {
        HeartInfo &info = *entry.second;
        CSocketClient *client = entry.first;
        if (info.statusLateFor < 0 || client->hasUnsentBytes() || !client->isConnected() ||
            !statusService.admitStream(info.statusBudget, now)) {
            continue;
        }
        const int srcId = info.statusLateFor;
        info.statusLateFor = -1;
        --statusLate;
        answerStream(client, info, srcId, now);
    }
}

void CPellix::answerDatagram(int srcId)
{
    // A datagram's sender gets one datagram a part, each small enough for
    // any receiver, and never more bytes than a few times what it sent: its
    // address may be forged, to turn the hub against a third party.
    const struct sockaddr_in *from = static_cast<const struct sockaddr_in *>(datagramFrom);
    if (udpServer == nullptr || from == nullptr || from->sin_family != AF_INET) {
        return;
    }
    if (!statusService.admitDatagram(from->sin_addr.s_addr, nowMs())) {
        ++datagramTraffic.droppedRefused;
        tm_printf(TRACE_INFO, "sendStatus", __LINE__, "status request by datagram refused: over its rate\n");
        return;
    }
    const size_t budget = StatusService::kDatagramFactor * datagramBytes;
    const std::string text =
        StatusService::datagramText(statusService.document(nowMs()), budget - std::min(budget, datagramAnswered));
    const int count = StatusPart::partCount(text.size(), StatusService::kDatagramPartBytes);
    if (text.empty() || count == 0) {
        return;
    }
    for (int part = 1; part <= count; ++part) {
        const size_t offset = static_cast<size_t>(part - 1) * StatusService::kDatagramPartBytes;
        const size_t size = std::min(StatusService::kDatagramPartBytes, text.size() - std::min(offset, text.size()));
        packet.clear();
        StatusPart::appendFrame(packet, srcId, part, count, text.data() + offset, size);
        datagramAnswered += packet.size();
        if (udpServer->sendData(packet.data(), static_cast<int>(packet.size()), from, sizeof *from) > 0) {
            ++datagramTraffic.framesOut;
            datagramTraffic.bytesOut += packet.size();
        }
    }
}

void CPellix::switchMonitor(CSocketClient *client, const unsigned char *bytes, int size)
{
    if (client == nullptr) {
        tm_printf(TRACE_WARM, "switchMonitor", __LINE__, "monitor refused: it needs a stream connection\n");
        return;
    }
    int on = MonitorRecord::kSwitchOn;
    PacketFrame::readU8(bytes, size - PacketFrame::kEndMarkSize, PacketFrame::kPayloadOffset, on);
    if (on == MonitorRecord::kSwitchOff) {
        if (monitor.stop(client)) {
            tm_printf(TRACE_NOTICE, "switchMonitor", __LINE__, "monitor off for fd %d\n", client->getFd());
        }
        return;
    }
    const int srcId = bytes[PacketFrame::kSrcIdOffset];
    if (!monitor.start(client, srcId, settings.sendQueueBytes)) {
        tm_printf(TRACE_WARM, "switchMonitor", __LINE__, "monitor refused for fd %d: %zu monitors already\n",
                  client->getFd(), monitor.size());
        std::string frame;
        CMonitor::refusalFrame(frame, srcId, std::to_string(monitor.size()) + " monitors already");
        deliver(client, frame.data(), static_cast<int>(frame.size()));
        return;
    }
    tm_printf(TRACE_NOTICE, "switchMonitor", __LINE__, "monitor on for fd %d\n", client->getFd());
}

const char *CPellix::killRefusal(const std::string &name, bool onThisHost) const
{
    if (!onThisHost) {
        return "its peer is not on this host";
    }
    // killall takes a name with a slash for a file and kills every process
    // running it (a shell, init, the hub itself).
    if (name.find('/') != std::string::npos) {
        return "it holds a '/'";
    }
    if (ownNames.count(name) != 0) {
        return "it is the hub's own";
    }
    if (name.find('\0') != std::string::npos) {
        return "it holds a zero byte";
    }
    if (killedThisPeriod.count(name) != 0) {
        return "it was killed in this period already";
    }
    return nullptr;
}

void CPellix::killModule(const std::string &name, bool onThisHost)
{
    const char *why = killRefusal(name, onThisHost);
    const std::string command = why == nullptr ? ModuleName::killCommand(name) : std::string();
    if (why == nullptr && command.empty()) {
        why = "its command would be too long";
    }
    if (why != nullptr) {
        tm_printf(TRACE_WARM, "heartCmdCheck", __LINE__, "no kill command for module name \"%s\": %s\n",
                  ModuleName::printable(name).c_str(), why);
        if (!onThisHost) {
            HubLog::log(spdlog::level::warn, "module {} is not on this host, no kill made",
                             ModuleName::printable(name));
        }
        return;
    }
    killedThisPeriod.insert(name);
    // The trailing " &" lets the shell return at once; killall's own result
    // is the device's business.
    runCommand(command);
}

void CPellix::killPeer(CSocketClient *client, pid_t pid, int pidfd, const char *why)
{
    const std::string name = ModuleName::printable(client->getName());
    if (pid <= 1 || pid == getpid()) {
        tm_printf(TRACE_WARM, "heartCmdCheck", __LINE__, "no kill for module \"%s\": no process found at its end\n",
                  name.c_str());
        HubLog::log(spdlog::level::warn, "module {} only closed: {}", name,
                    why != nullptr ? why : "its peer is the hub or init");
    } else if (signalProcess(pid, pidfd, SIGKILL) != 0) {
        const int err = errno;
        tm_printf(TRACE_WARM, "heartCmdCheck", __LINE__, "kill of pid %d failed: %s\n", static_cast<int>(pid),
                  strerror(err));
        HubLog::log(spdlog::level::warn, "module {} only closed: the kill of pid {} failed: {}", name,
                    static_cast<int>(pid), strerror(err));
    } else {
        HubLog::log(spdlog::level::warn, "module {} killed, pid {}", name, static_cast<int>(pid));
    }
    if (pidfd >= 0) {
        close(pidfd);
    }
}

void CPellix::heartCmdCheck(const void *, int)
{
    socketManager->dumpSocketMapInfo();
    killedThisPeriod.clear();
    if (udpDecoupler) {
        udpDecoupler->expireIdle();
    }
    std::map<CSocketClient *, std::unique_ptr<HeartInfo>>::iterator it = heartMap.begin();
    while (it != heartMap.end()) {
        if (it->second->missCount < kHeartMissLimit) {
            ++it->second->missCount;
            ++it;
            continue;
        }
        CSocketClient *client = it->first;
        retire(client, it->second.get());
        HubLog::log(spdlog::level::err, "module {} heart time out, restart app...",
                         ModuleName::printable(client->getName()));
        // Asked before the close: a module on another machine is not
        // restarted by a local killall, and the process at the other end
        // can only be found while the connection is there.
        const bool byName = settings.killPolicy == HubSettings::KILL_BY_NAME;
        const bool onThisHost = byName && peerOnThisHost(client->getFd());
        int pidfd = -1;
        const char *noPeer = nullptr;
        const pid_t peer =
            settings.killPolicy == HubSettings::KILL_PEER ? PeerProcess::pinPeer(client->getFd(), pidfd, noPeer) : -1;
        client->closeSocket();
        it = heartMap.erase(it);
        if (byName) {
            killModule(client->getName(), onThisHost);
        } else if (settings.killPolicy == HubSettings::KILL_PEER) {
            killPeer(client, peer, pidfd, noPeer);
        } else {
            tm_printf(TRACE_WARM, "heartCmdCheck", __LINE__, "no kill for module \"%s\": kills are off\n",
                      ModuleName::printable(client->getName()).c_str());
        }
        removerDev(client);
    }
}

void CPellix::removerDev(CSocketClient *client)
{
    std::map<CSocketClient *, std::unique_ptr<CDecoupler>>::iterator decoupler = decouplerMap.find(client);
    if (decoupler != decouplerMap.end()) {
        tm_printf(TRACE_NOTICE, "removerDev", 532, "remove %d decoupler\n", client->getFd());
        decouplerMap.erase(decoupler);
    }
    // A connection may hold several ids: forget every one of them, since the
    // socket manager will delete the connection at its next check.
    std::vector<int> departed;
    std::map<int, CSocketClient *>::iterator it = devMap.begin();
    while (it != devMap.end()) {
        if (it->second != client) {
            ++it;
            continue;
        }
        HubLog::log(spdlog::level::warn, "remove modId: {}, fd :{}, mod name: {}",
                         static_cast<unsigned>(it->first), client->getFd(), ModuleName::printable(client->getName()));
        departed.push_back(it->first);
        it = devMap.erase(it);
    }
    for (int modId : departed) {
        if (modId == 0) {
            continue;
        }
        unsigned char payload[EventList::kDepartureSize];
        EventList::departure(payload, modId);
        monitor.copy(MonitorKind::Published, EVENT_MGR_DEV_ID, CENTER_DEV_ID, CMD_PUBLISH_EVENT, payload, sizeof payload);
        eventManager->ProcessEventData(payload, sizeof payload, eventSender);
    }
}
