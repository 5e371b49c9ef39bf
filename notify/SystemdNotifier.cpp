#include "notify/SystemdNotifier.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

const char kStopping[] = "STOPPING=1";

// The notifier a signal handler may use; set and cleared outside handlers.
SystemdNotifier *volatile armedNotifier = nullptr;

} // namespace

std::unique_ptr<SystemdNotifier> SystemdNotifier::fromEnvironment(std::string &error)
{
    error.clear();
    const char *socketText = getenv("NOTIFY_SOCKET");
    const char *usecText = getenv("WATCHDOG_USEC");
    const char *pidText = getenv("WATCHDOG_PID");
    const std::string socketName = socketText != nullptr ? socketText : "";
    uint64_t watchdog = parseWatchdogUs(usecText);
    // A watchdog meant for another process of the service is not ours to feed.
    if (pidText != nullptr && strtol(pidText, nullptr, 10) != static_cast<long>(getpid())) {
        watchdog = 0;
    }
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    unsetenv("WATCHDOG_PID");
    if (socketText == nullptr || socketName.empty()) {
        return nullptr;
    }
    std::unique_ptr<SystemdNotifier> notifier(new SystemdNotifier(socketName, watchdog));
    if (!notifier->isOpen()) {
        error = "NOTIFY_SOCKET: " + notifier->openError();
        return nullptr;
    }
    return notifier;
}

SystemdNotifier::SystemdNotifier(const std::string &name, uint64_t watchdogUs) : watchdogInterval(watchdogUs)
{
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const bool abstract = !name.empty() && name[0] == '@';
    if (name.empty() || (name[0] != '/' && !abstract)) {
        failure = "\"" + name + "\" is neither an absolute path nor an abstract name (@...)";
        return;
    }
    if (name.size() >= sizeof address.sun_path || name.find('\0') != std::string::npos) {
        failure = "the address is too long for a Unix socket";
        return;
    }
    memcpy(address.sun_path, name.data(), name.size());
    if (abstract) {
        address.sun_path[0] = '\0';
    }
    // An abstract name is its bytes exactly; a path ends at its terminator.
    addressLength = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name.size() + (abstract ? 0 : 1));
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        failure = std::string("socket: ") + strerror(errno);
    }
}

SystemdNotifier::~SystemdNotifier()
{
    if (armedNotifier == this) {
        armedNotifier = nullptr;
    }
    if (fd >= 0) {
        close(fd);
    }
}

bool SystemdNotifier::send(const std::string &message)
{
    if (fd < 0) {
        return false;
    }
    // MSG_DONTWAIT: a full queue at the manager drops this one message.
    const ssize_t n = sendto(fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                             reinterpret_cast<const struct sockaddr *>(&address), addressLength);
    return n == static_cast<ssize_t>(message.size());
}

void SystemdNotifier::pass(int64_t nowMs, bool ready, const std::function<std::string()> &status)
{
    if (ready && !readyDone) {
        readyDone = send("READY=1");
    }
    if (watchdogInterval > 0) {
        int64_t halfMs = static_cast<int64_t>(watchdogInterval / 2000);
        if (halfMs < 1) {
            halfMs = 1;
        }
        if (!watchdogSent || nowMs - lastWatchdogMs >= halfMs) {
            // Tried again on the next pass when not taken.
            if (send("WATCHDOG=1")) {
                watchdogSent = true;
                lastWatchdogMs = nowMs;
            }
        }
    }
    if (status && (!statusAsked || nowMs - lastStatusAskMs >= kStatusEveryMs)) {
        statusAsked = true;
        lastStatusAskMs = nowMs;
        std::string line = status();
        // One line: a newline would start another assignment of the message.
        for (char &c : line) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                c = '?';
            }
        }
        if (line != lastStatus && send("STATUS=" + line)) {
            lastStatus = line;
        }
    }
}

void SystemdNotifier::stopping()
{
    if (!stoppingDone) {
        stoppingDone = 1;
        send(kStopping);
    }
}

void SystemdNotifier::armForSignals()
{
    armedNotifier = this;
}

void SystemdNotifier::sendStoppingFromSignal()
{
    SystemdNotifier *notifier = armedNotifier;
    if (notifier == nullptr || notifier->fd < 0 || notifier->stoppingDone) {
        return;
    }
    notifier->stoppingDone = 1;
    const int savedErrno = errno;
    sendto(notifier->fd, kStopping, sizeof kStopping - 1, MSG_DONTWAIT | MSG_NOSIGNAL,
           reinterpret_cast<const struct sockaddr *>(&notifier->address), notifier->addressLength);
    errno = savedErrno;
}

uint64_t SystemdNotifier::parseWatchdogUs(const char *text)
{
    if (text == nullptr || *text == '\0' || strlen(text) > 20) {
        return 0;
    }
    uint64_t value = 0;
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return 0;
        }
        const uint64_t digit = static_cast<uint64_t>(*c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return 0;
        }
        value = value * 10 + digit;
    }
    return value;
}
