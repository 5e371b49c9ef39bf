#pragma once
// Messages to the service manager that started this process: readiness, a
// short status line, the watchdog's keep-alive and the stop, each one
// datagram to the Unix socket named by $NOTIFY_SOCKET.
//
// Without NOTIFY_SOCKET the notifier is never made and nothing changes. The
// variables are taken out of the environment when read, so that programs
// this process starts (killall through the shell) cannot speak for it.
//
// Datagrams go out without waiting: a manager that does not read them costs
// a lost message, never a held loop.

#include <sys/socket.h>
#include <sys/un.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class SystemdNotifier {
public:
    // Reads and unsets NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID. Null
    // when NOTIFY_SOCKET is not set, or (with the reason in error) when its
    // address or the socket cannot be used.
    static std::unique_ptr<SystemdNotifier> fromEnvironment(std::string &error);

    // address: an absolute path, or "@name" in the abstract namespace.
    // watchdogUs: the interval the manager asked for, 0 for none.
    SystemdNotifier(const std::string &address, uint64_t watchdogUs);
    ~SystemdNotifier();
    SystemdNotifier(const SystemdNotifier &) = delete;
    SystemdNotifier &operator=(const SystemdNotifier &) = delete;

    // False (with the reason) when the address was unusable or the socket
    // could not be made; the notifier then sends nothing.
    bool isOpen() const { return fd >= 0; }
    const std::string &openError() const { return failure; }

    // One datagram ("READY=1", "STATUS=...", ...); false when it was not taken.
    bool send(const std::string &message);

    // Once per loop pass, with a monotonic clock in milliseconds: READY=1 the
    // first time `ready` holds, WATCHDOG=1 on the first pass and then every
    // half watchdog interval, and STATUS=<status()> at most once a second
    // when the line has changed (status is asked only then).
    void pass(int64_t nowMs, bool ready, const std::function<std::string()> &status);
    // STOPPING=1, once.
    void stopping();

    uint64_t watchdogUs() const { return watchdogInterval; }
    bool readySent() const { return readyDone; }

    // Lets sendStoppingFromSignal use this notifier until it is destroyed.
    void armForSignals();
    // STOPPING=1 with nothing but sendto(2), for a signal handler that ends
    // the process; nothing when no notifier is armed or it was sent already.
    static void sendStoppingFromSignal();

    // A watchdog interval in microseconds from its decimal text; 0 when the
    // text is not a positive number of at most 20 digits.
    static uint64_t parseWatchdogUs(const char *text);

private:
    static const int64_t kStatusEveryMs = 1000;

    int fd = -1;
    struct sockaddr_un address;
    socklen_t addressLength = 0;
    std::string failure;
    uint64_t watchdogInterval;
    bool readyDone = false;
    volatile sig_atomic_t stoppingDone = 0; // also set from a signal handler
    bool watchdogSent = false;
    int64_t lastWatchdogMs = 0;
    bool statusAsked = false;
    int64_t lastStatusAskMs = 0;
    std::string lastStatus;
};
