#pragma once
// The hub: owns the three servers, the socket manager and the event manager,
// and ties module ids, connections, frame splitters and heartbeat records
// together.
//
// Connections belong to the socket manager, which deletes them once they are
// found disconnected; the hub keeps plain pointers to them in its maps and
// forgets a connection in the same callback that learns of its loss (a read
// of length <= 0) or closes it (a heartbeat time-out), so that no map ever
// holds a deleted endpoint.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "event/CEventManager.h"
#include "hub/CDatagramSplitters.h"
#include "hub/CMonitor.h"
#include "proto/CDecoupler.h"
#include "hub/CRegMap.h"
#include "hub/HeartInfo.h"
#include "hub/HubSettings.h"
#include "proto/PacketFrame.h"
#include "hub/StatusService.h"
#include "hub/TrafficCounters.h"
#include "net/COutbox.h"
#include "net/CSocketClient.h"
#include "net/CSocketManager.h"
#include "net/CSocketServer.h"
#include "net/CTcpServer.h"
#include "net/CUdpServer.h"
#include "net/CUnixServer.h"

class CPellix {
public:
    static const int kHeartPeriodMs = 15000;
    static const int kHeartMissLimit = 3;

    // Loads and replays the subscription record kept at regMapPath.
    explicit CPellix(const std::string &regMapPath);
    ~CPellix();
    CPellix(const CPellix &) = delete;
    CPellix &operator=(const CPellix &) = delete;

    // What a heartbeat time-out kills with: a shell command line (killall),
    // or a signal to one process. The daemon's run ShellCommand and kill(2);
    // a fuzzer puts in ones that only record the request.
    typedef std::function<int(const std::string &command)> CommandRunner;
    // The process is given by pid and, where the kernel has them, a pidfd.
    typedef std::function<int(pid_t pid, int pidfd, int sig)> ProcessSignaller;
    void setKillActions(const CommandRunner &runner, const ProcessSignaller &signaller);
    // The subscription record, for a writer of its own.
    CRegMap &regMapRecord() { return regMap; }

    // Before initServers: the hardened settings, if any.
    void setSettings(const HubSettings &hardened);
    const HubSettings &getSettings() const { return settings; }
    int initServers(uint16_t port, const std::string &unixPath);
    // Starts the servers and the heartbeat timer, calls listening (when
    // given) once the servers are started, then runs the select loop until
    // it ends; the loop's result.
    int run(const std::function<void()> &listening = std::function<void()>());

    void onAcceptNewTcpClient(CSocketClient *client, CSocketServer *server, const void *extra);
    void onAcceptNewUnixClient(CSocketClient *client, CSocketServer *server, const void *extra);
    void onReadSocketData(CSocketClient *client, const void *data, int len);
    void onReadSocketData(int fd, const void *fromAddr, const void *data, int len);

    void processCenterData(CSocketClient *client, const unsigned char *frame, int size);
    int processRegPublishMsg(int cmd, const unsigned char *frame, int size);
    void forwardData(const unsigned char *frame, int size);
    int sendEventPacket(int iEvent, int iModId, const void *data, int iLen);

    void heartCmdCheck(const void *data, int len);
    void removerDev(CSocketClient *client);

    CSocketManager *getSocketManager() { return socketManager.get(); }
    CEventManager *getEventManager() { return eventManager.get(); }
    const CRegMap &getRegMap() const { return regMap; }
    const std::map<int, CSocketClient *> &getDevMap() const { return devMap; }
    bool hasDecoupler(CSocketClient *client) const { return decouplerMap.count(client) != 0; }
    const HeartInfo *getHeartInfo(CSocketClient *client) const;
    size_t connectionCount() const { return heartMap.size(); }
    bool getDataPrint() const { return dataPrint; }
    CTcpServer *getTcpServer() { return tcpServer.get(); }
    CUnixServer *getUnixServer() { return unixServer.get(); }
    CUdpServer *getUdpServer() { return udpServer.get(); }

    // For the status command.
    typedef std::map<CSocketClient *, std::unique_ptr<HeartInfo>> ConnectionMap;
    const ConnectionMap &getConnections() const { return heartMap; }
    const CEventManager *getEventManager() const { return eventManager.get(); }
    int64_t getStartMs() const { return startMs; }
    long servePauseUs() const { return static_cast<long>(socketManager->servePauseUs()); }
    // One open connection's counters, its send queue's drops included.
    TrafficCounters trafficOf(const CSocketClient *client, const HeartInfo &info) const;
    // Every connection's, open or gone, and the datagrams'.
    TrafficCounters totalTraffic() const;
    const TrafficCounters &getDatagramTraffic() const { return datagramTraffic; }
    size_t datagramSenders() const { return udpDecoupler ? udpDecoupler->size() : 0; }
    size_t monitorCount() const { return monitor.size(); }
    bool isMonitor(const CSocketClient *client) const { return monitor.isMonitor(client); }
    // The status document as it would be sent now.
    std::string statusJson() const;
    // Status answers owed to connections that asked beyond their budget.
    size_t lateStatusAnswers() const { return statusLate; }
    // Monotonic milliseconds, the clock of the connection times.
    static int64_t nowMs();

private:
    void acceptClient(CSocketClient *client, const char *func, int line, const char *format);
    // The frames of one read from client (null: a datagram), counted into
    // traffic (null: a connection without counters).
    void routeFrames(CDecoupler &decoupler, CSocketClient *client, TrafficCounters *traffic);
    void routeFrame(CSocketClient *client, TrafficCounters *traffic, const unsigned char *frame, int size);
    // Every frame the hub sends goes through here: while a read is being
    // routed, into the outbox, which writes it when the read is done.
    void deliver(CSocketClient *client, const void *data, int len);
    void deliverPacket(CSocketClient *client, int devId, uint8_t cmd, const void *data, int length, int srcId);
    void registerModule(CSocketClient *client, const unsigned char *frame, int size);
    // With strictModules: false (and a trace) for a frame the sender may not send.
    bool admitStrict(CSocketClient *client, const unsigned char *frame, int size);
    // With hubCommandsFrom "local": whether the hub's own switches may be
    // thrown by this sender.
    bool hubCommandAllowed(CSocketClient *client, int cmd);
    // pid and pidfd as PeerProcess::pinPeer found them (why: what it missed).
    void killPeer(CSocketClient *client, pid_t pid, int pidfd, const char *why);
    // The status in parts to the asking connection, or to the sender of the
    // datagram being routed; late when over the budgets.
    void sendStatus(CSocketClient *client, int srcId);
    void answerStream(CSocketClient *client, HeartInfo &info, int srcId, int64_t now);
    void answerDatagram(int srcId);
    // Once a loop pass: the status answers owed, as the budgets allow.
    void answerLateStatus();
    void switchMonitor(CSocketClient *client, const unsigned char *frame, int size);
    // Keeps a module's report with its stream connection, for the status.
    void keepReport(CSocketClient *client, const unsigned char *frame, int size);
    // The monitor's kind for a frame about to be routed.
    MonitorKind monitorKind(const unsigned char *frame, int size) const;
    // Counts what went through a connection that is gone into the totals and
    // stops its monitor.
    void retire(CSocketClient *client, const HeartInfo *info);
    void subscribe(const unsigned char *payload, int payloadLen, int srcId);
    // Takes withdrawn pairs out of the saved record (recordUnsubscriptions).
    void unrecord(const unsigned char *payload, int payloadLen, int srcId);
    // The ids only the hub speaks for: itself and the event manager's range.
    static bool reservedId(int id) { return id == CENTER_DEV_ID || id > MAX_FORWARD_DEV_ID; }
    // Why the processes of that name must not be killed; null when they may.
    const char *killRefusal(const std::string &name, bool onThisHost) const;
    void killModule(const std::string &name, bool onThisHost);

    std::unique_ptr<CTcpServer> tcpServer;
    std::unique_ptr<CUnixServer> unixServer;
    std::unique_ptr<CUdpServer> udpServer;
    std::unique_ptr<CDatagramSplitters> udpDecoupler; // one splitter per sender
    std::unique_ptr<CSocketManager> socketManager;
    CRegMap regMap;
    std::map<int, CSocketClient *> devMap;
    std::map<CSocketClient *, std::unique_ptr<CDecoupler>> decouplerMap;
    std::map<CSocketClient *, std::unique_ptr<HeartInfo>> heartMap;
    std::unique_ptr<CEventManager> eventManager;
    bool dataPrint;

    std::string regMapPath;
    EventSendCallback eventSender; // bound once to sendEventPacket
    COutbox outbox;                // open while one read's frames are routed
    std::string packet;            // reused for every frame the hub builds
    std::set<std::string> killedThisPeriod;
    HubSettings settings;
    bool datagramFromLoopback = false; // of the datagram being routed
    const void *datagramFrom = nullptr; // its sender's address, while it is routed
    size_t datagramBytes = 0;           // its size
    size_t datagramAnswered = 0;        // bytes sent in answer to it so far
    StatusService statusService;
    size_t statusLate = 0; // connections owed a status answer
    CMonitor monitor;
    TrafficCounters closedTraffic;   // of connections that are gone
    TrafficCounters datagramTraffic; // of the UDP port
    int64_t startMs;
    std::set<std::string> ownNames; // the hub's own process names: never killed
    CommandRunner runCommand;
    ProcessSignaller signalProcess;
};
