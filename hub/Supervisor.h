#pragma once
// Heartbeat supervision and the kills that follow it: once a heartbeat
// period, every session that has been silent for kHeartMissLimit periods is
// closed, the process behind it is killed as the kill policy says, and the
// hub forgets it.

#include <sys/types.h>

#include <functional>
#include <set>
#include <string>

#include "hub/HubSettings.h"
#include "hub/SessionTable.h"

class CSocketClient;

class Supervisor {
public:
    static const int kHeartPeriodMs = 15000;
    static const int kHeartMissLimit = 3;

    // What a heartbeat time-out kills with: a shell command line (killall),
    // or a signal to one process, given by pid and, where the kernel has
    // them, a pidfd. The daemon's run ShellCommand and PeerProcess::signal;
    // a fuzzer puts in ones that only record the request.
    typedef std::function<int(const std::string &command)> CommandRunner;
    typedef std::function<int(pid_t pid, int pidfd, int sig)> ProcessSignaller;
    // Forgets a session the check has closed.
    typedef std::function<void(SessionTable::Map::iterator)> Forget;

    Supervisor(const HubSettings &hardened, SessionTable &table, const Forget &forget);

    void setKillActions(const CommandRunner &runner, const ProcessSignaller &signaller);
    // One heartbeat period's check.
    void check();

private:
    // Why the processes of that name must not be killed; null when they may.
    const char *killRefusal(const std::string &name, bool onThisHost) const;
    void killModule(const std::string &name, bool onThisHost);
    // pid and pidfd as PeerProcess::pinPeer found them (why: what it missed).
    void killPeer(CSocketClient *client, pid_t pid, int pidfd, const char *why);

    const HubSettings &settings;
    SessionTable &sessions;
    Forget forgetSession;
    std::set<std::string> killedThisPeriod;
    std::set<std::string> ownNames; // the hub's own process names: never killed
    CommandRunner runCommand;
    ProcessSignaller signalProcess;
};
