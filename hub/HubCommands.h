#pragma once
// The commands to the hub itself (devId 0x01): registration, heartbeat, the
// diagnostics switches, and status, monitor and report. One switch on the
// command; a command the hub does not know is traced and dropped.

#include <functional>
#include <string>

#include "hub/Admission.h"
#include "hub/CMonitor.h"
#include "hub/Delivery.h"
#include "hub/HubSettings.h"
#include "hub/Sender.h"
#include "hub/SessionTable.h"
#include "hub/StatusAnswers.h"
#include "proto/FrameHeader.h"

class CSocketManager;

class HubCommands {
public:
    HubCommands(const HubSettings &hardened, SessionTable &table, Delivery &delivery, Admission &admission,
                CMonitor &monitor, StatusAnswers &status, CSocketManager &loop);

    // What the reload command asks for (the hub reads the rules once the
    // read that carried it is done).
    void setReloadRequest(const std::function<void()> &request) { reloadRequest = request; }

    void processCenterData(Sender &sender, const FrameHeader &header);

private:
    void registerModule(Session &session, const FrameHeader &header);
    void switchMonitor(Sender &sender, const FrameHeader &header);
    // Keeps a module's report with its stream connection, for the status.
    void keepReport(Sender &sender, const FrameHeader &header);

    const HubSettings &settings;
    SessionTable &sessions;
    Delivery &out;
    Admission &admission;
    std::function<void()> reloadRequest;
    CMonitor &monitor;
    StatusAnswers &status;
    CSocketManager &loop;
    std::string record; // reused for a monitor's refusal
};
