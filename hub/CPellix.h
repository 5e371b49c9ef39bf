#pragma once
// The hub: owns the three servers, the socket manager and the event manager,
// and the parts that do its jobs:
// - SessionTable: one Session per accepted connection, and the id table;
// - Delivery: every frame the hub sends, through the outbox;
// - Admission: what the hardened settings let a sender do;
// - HubCommands and StatusAnswers: the commands to the hub itself;
// - Subscriptions: the event commands and the saved record;
// - Supervisor: the heartbeat check and its kills;
// - CMonitor: copies of every routed frame for the monitors.
// The hub itself takes in connections and bytes, routes each frame to the
// part it is for, and forgets a connection when it is gone.
//
// Connections belong to the socket manager, which deletes them once they are
// found disconnected; the sessions keep plain pointers to them and are
// erased in the same callback that learns of the loss (a read of length <=
// 0) or closes the connection (a heartbeat time-out), so that no table ever
// holds a deleted endpoint.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "event/CEventManager.h"
#include "hub/AccessControl.h"
#include "hub/Admission.h"
#include "hub/CDatagramSplitters.h"
#include "hub/CMonitor.h"
#include "hub/Delivery.h"
#include "hub/HubCommands.h"
#include "hub/HubSettings.h"
#include "hub/Sender.h"
#include "hub/SessionTable.h"
#include "hub/StatusAnswers.h"
#include "hub/Subscriptions.h"
#include "hub/Supervisor.h"
#include "hub/TrafficCounters.h"
#include "net/CSocketManager.h"
#include "net/CTcpServer.h"
#include "net/CUdpServer.h"
#include "net/CUnixServer.h"
#include "proto/FrameHeader.h"

class CPellix {
public:
    // Loads and replays the subscription record kept at regMapPath.
    explicit CPellix(const std::string &regMapPath);
    ~CPellix();
    CPellix(const CPellix &) = delete;
    CPellix &operator=(const CPellix &) = delete;

    // Before initServers: the hardened settings, if any.
    void setSettings(const HubSettings &hardened);
    const HubSettings &getSettings() const { return settings; }
    int initServers(uint16_t port, const std::string &unixPath);
    // Starts the servers and the heartbeat timer, calls listening (when
    // given) once the servers are started, then runs the select loop until
    // it ends; the loop's result.
    int run(const std::function<void()> &listening = std::function<void()>());

    // The servers' callbacks.
    void onAcceptNewTcpClient(CSocketClient *client, CSocketServer *server, const void *extra);
    void onAcceptNewUnixClient(CSocketClient *client, CSocketServer *server, const void *extra);
    void onReadSocketData(CSocketClient *client, const void *data, int len);
    void onReadDatagram(int fd, const void *fromAddr, const void *data, int len);
    // The heartbeat timer's.
    void heartCmdCheck(const void *data, int len);

    // What a heartbeat time-out kills with (see Supervisor); a fuzzer puts in
    // ones that only record the request.
    void setKillActions(const Supervisor::CommandRunner &runner, const Supervisor::ProcessSignaller &signaller)
    {
        supervisor.setKillActions(runner, signaller);
    }
    // The subscription record, for a writer of its own.
    CRegMap &regMapRecord() { return subscriptions.record(); }

    // Whether the TCP, Unix and UDP servers all listen; the names of those
    // that do not yet, in waiting.
    bool listening(std::string *waiting = nullptr) const;
    CSocketManager *getSocketManager() { return socketManager.get(); }
    const CEventManager *getEventManager() const { return eventManager.get(); }
    const SessionTable &getSessions() const { return sessions; }
    const CRegMap &getRegMap() const { return subscriptions.record(); }
    bool getDataPrint() const { return delivery.dataPrint(); }
    const CMonitor &getMonitor() const { return monitor; }
    const AccessControl &getAccess() const { return access; }

    // For the status document.
    int64_t getStartMs() const { return startMs; }
    long servePauseUs() const { return static_cast<long>(socketManager->servePauseUs()); }
    // Every connection's counters, open or gone, and the datagrams'.
    TrafficCounters totalTraffic() const;
    const TrafficCounters &getDatagramTraffic() const { return datagramTraffic; }
    size_t datagramSenders() const { return udpSplitters ? udpSplitters->size() : 0; }
    // The status document as it would be sent now.
    std::string statusJson() const;

private:
    void acceptClient(CSocketClient *client, const char *func, int line, const char *format);
    // A read from a connection whose session is known (null: none).
    void onSessionData(Session *session, CSocketClient *client, const void *data, int len);
    // The frames of one read from sender, each where it lies in the splitter.
    void routeFrames(CDecoupler &splitter, Sender &sender);
    void routeFrame(Sender &sender, const unsigned char *frame, int size);
    // The monitor's kind for a frame about to be routed.
    MonitorKind monitorKind(const FrameHeader &header) const;
    // Forgets a connection that is gone: its counters go into the totals,
    // its monitor stops, its ids are released and their departure announced.
    void forget(SessionTable::Map::iterator session);
    // Closes a connection the hub gives up on, with a log line saying why,
    // and forgets it.
    void drop(SessionTable::Map::iterator session, const std::string &why);
    // Once a pass: the access rules read again when asked, and the uids over
    // their queued bytes made to give some back.
    void enforceAccess();
    void applyReloadedRules();
    void enforceQueuedBytes();

    HubSettings settings;
    std::unique_ptr<CTcpServer> tcpServer;
    std::unique_ptr<CUnixServer> unixServer;
    std::unique_ptr<CUdpServer> udpServer;
    std::unique_ptr<CDatagramSplitters> udpSplitters; // one splitter per sender
    std::unique_ptr<CSocketManager> socketManager;
    std::unique_ptr<CEventManager> eventManager;
    SessionTable sessions;
    Delivery delivery;
    CMonitor monitor;
    TrafficCounters closedTraffic;   // of connections that are gone
    TrafficCounters datagramTraffic; // of the UDP port
    AccessControl access;
    bool accessReloadAsked = false;
    int64_t queuedCheckedMs = 0;
    Admission admission;
    StatusAnswers status;
    HubCommands commands;
    Subscriptions subscriptions;
    Supervisor supervisor;
    int64_t startMs;
};
