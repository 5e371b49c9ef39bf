#pragma once
// What the hardened settings let a sender do: with strictModules, who may
// send under which id and register which; with hubCommandsFrom "local",
// whose hub commands are taken. Every refusal leaves one trace or log line.

#include "hub/HubSettings.h"
#include "hub/Sender.h"
#include "hub/SessionTable.h"
#include "proto/FrameHeader.h"

class Admission {
public:
    Admission(const HubSettings &hardened, const SessionTable &table) : settings(hardened), sessions(table) {}

    // The ids only the hub speaks for: itself and the event manager's range.
    static bool reservedId(int id);
    // With strictModules: false (and a trace) for a frame the sender may not
    // send. Always true without it.
    bool admitFrame(const Sender &sender, const FrameHeader &header) const;
    // With strictModules: false (and a log line) when session may not
    // register id.
    bool admitRegistration(const Session &session, int id) const;
    // With hubCommandsFrom "local": false (and a trace) when the hub's own
    // switches may not be thrown by this sender.
    bool hubCommandAllowed(const Sender &sender, int cmd) const;

private:
    const HubSettings &settings;
    const SessionTable &sessions;
};
