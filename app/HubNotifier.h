#pragma once
// What the hub tells the service manager, once per loop pass: ready when
// its TCP, Unix and UDP servers all listen (a server that could not start is
// tried again by the loop, so readiness may come later), the watchdog's
// keep-alive from the loop itself, and a status line.
//
// Made only when the manager asked for notifications: without it the hub
// runs exactly as before, with no hook in its loop.

#include <string>

class CPellix;
class SystemdNotifier;

class HubNotifier {
public:
    HubNotifier(CPellix &hub, SystemdNotifier &notifier);

    // For the socket manager's pass hook.
    void pass();
    // All three servers listen.
    bool listening() const;
    // "connections: 3, modules: 2, frames routed: 1520", or while a server
    // does not listen yet, which ones.
    std::string statusLine() const;

private:
    CPellix &pellix;
    SystemdNotifier &notify;
};
