#include <pellix/CPellixClient.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <set>

#include <boost/bind/bind.hpp>

#include "client/ClientFrames.h"
#include "proto/CDecoupler.h"
#include "proto/MonitorRecord.h"
#include "proto/StatusPart.h"
#include "proto/StatusCollector.h"
#include "proto/EventList.h"
#include "proto/PacketFrame.h"
#include "net/CSocketManager.h"
#include "net/CTcpClient.h"
#include "net/CUnixClient.h"
#include "trace/Trace.h"

namespace pellix {

namespace {

typedef std::chrono::steady_clock SteadyClock;

const char *const kHeartbeatTimer = "heartbeat";

int64_t msSince(SteadyClock::time_point then)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - then).count();
}

// The dotted IPv4 address of host, which CTcpClient connects to.
bool resolveIpv4(const std::string &host, std::string &ip, std::string &why)
{
    struct in_addr addr;
    if (inet_pton(AF_INET, host.c_str(), &addr) == 1) {
        ip = host;
        return true;
    }
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        why = rc != 0 ? gai_strerror(rc) : "no IPv4 address";
        return false;
    }
    char text[INET_ADDRSTRLEN];
    const struct sockaddr_in *in = reinterpret_cast<const struct sockaddr_in *>(found->ai_addr);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    freeaddrinfo(found);
    ip = text;
    return true;
}

} // namespace

const char *statusText(Status status)
{
    switch (status) {
    case Status::Ok:
        return "ok";
    case Status::InvalidArgument:
        return "invalid argument";
    case Status::NotConnected:
        return "not connected";
    case Status::Unreachable:
        return "hub unreachable";
    case Status::NoReply:
        return "no reply";
    case Status::SendFailed:
        return "send failed";
    case Status::Busy:
        return "busy";
    case Status::Refused:
        return "refused";
    }
    return "unknown";
}

class CPellixClient::Impl {
public:
    explicit Impl(const ClientOptions &o);
    ~Impl();

    Result connect();
    void closeLink();
    bool linkUp() const { return open && endpoint && endpoint->isConnected(); }

    Result sendFrame(int devId, int cmd, const void *head, size_t headSize, const void *body, size_t bodySize,
                     const char *what);
    Result sendEventList(int cmd, const std::vector<int> &events);
    Result sendSubscriptions();
    int poll(int timeoutMs);

    // Framework callbacks.
    void onConnected(CSocketClient *client);
    void onRead(CSocketClient *client, const void *data, int len);
    void onHeartbeatTimer(const void *data, int len);

    void dispatch(const unsigned char *frame, size_t size);
    void takeStatusPart(const unsigned char *payload, size_t size);
    void takeMonitorRecord(const unsigned char *payload, size_t size);
    Result sendMonitorSwitch(unsigned char on);
    // Serves the connection (callbacks included) until done() holds;
    // NoReply after timeoutMs or when the connection goes first.
    Result serveUntil(const std::function<bool()> &done, int timeoutMs, const char *what);
    void watchRegistration();
    void deliverNotices();
    std::string where() const;

    // Runs a module's callback; nothing it throws gets into the loop.
    template <typename F> void guarded(F &&call)
    {
        ++callbackDepth;
        try {
            call();
        } catch (...) {
            ++stats.callbackExceptions;
        }
        --callbackDepth;
    }

    ClientOptions options;
    // Declared before the manager, so that the manager is gone (and has let
    // go of its pointer) before the endpoint is deleted.
    std::unique_ptr<CSocketClient> endpoint;
    CSocketManager manager;
    bool inManager = false;

    CDecoupler decoupler;
    std::string cut; // the frame just cut, reused for every frame
    std::string out; // the frame being sent, reused
    std::string list; // a subscription list being built, reused

    std::set<int> subscribed;
    std::set<int> withdrawn;

    FrameCallback frameCallback;
    EventCallback eventCallback;
    DepartureCallback departureCallback;
    ConnectionCallback connectionCallback;
    MonitorCallback monitorCallback;

    // A status request in progress: parts are taken only while one waits,
    // so a late reply to an abandoned request is dropped.
    StatusCollector status;
    enum StatusState { StatusIdle, StatusWaiting, StatusComplete, StatusTooLarge } statusState = StatusIdle;
    bool monitoring = false;      // switched on again after every reconnect
    bool monitorAnswered = false; // the hub's kind-0 record since the last switch-on
    std::string monitorRefusal;   // the reason of a refusal since the last switch-on

    bool open = false;            // from connect() until close() or a failed connect()
    bool registered = false;      // the hub answered on this connection
    bool everConnected = false;   // later connections are reconnects
    bool awaitingRestore = false; // reconnected, registration reply still to come
    SteadyClock::time_point registrationSentAt;
    // Connection changes to report at the end of the pass, in order. They
    // are learnt inside the socket manager's connection check, whose lock
    // is held then, so the module's code does not run there.
    std::vector<char> notices;

    int callbackDepth = 0;
    std::atomic<bool> stopRequested{false};
    ClientStats stats;
};

CPellixClient::Impl::Impl(const ClientOptions &o) : options(o), decoupler(PacketFrame::kStartMark, PacketFrame::kEndMark)
{
    notices.reserve(8);
    // The hub pauses after each descriptor it serves to share its loop among
    // many; a module watches one, and the pause would only cap what it reads.
    manager.setServePauseUs(0);
}

CPellixClient::Impl::~Impl()
{
    closeLink();
}

std::string CPellixClient::Impl::where() const
{
    if (options.transport == Transport::Unix) {
        return "unix socket " + options.unixPath;
    }
    return options.host + ":" + std::to_string(options.port);
}

void CPellixClient::Impl::closeLink()
{
    if (endpoint) {
        if (inManager) {
            manager.remove(endpoint->getFd());
            inManager = false;
        }
        if (endpoint->isDescriptorOpen()) {
            // The framework closes with SO_LINGER 0, which would throw away
            // frames not yet sent; a module that ends wants them delivered.
            struct linger graceful = {0, 0};
            setsockopt(endpoint->getFd(), SOL_SOCKET, SO_LINGER, &graceful, sizeof graceful);
        }
        endpoint->closeSocket();
    }
    manager.stopTimer(kHeartbeatTimer);
    open = false;
    registered = false;
    awaitingRestore = false;
    notices.clear();
}

Result CPellixClient::Impl::connect()
{
    if (callbackDepth > 0) {
        return Result(Status::Busy, "connect() cannot be called from a callback");
    }
    Result check;
    if (options.registerModule) {
        check = checkRegistrationId(options.moduleId);
        if (check) {
            check = checkName(options.name);
        }
    } else {
        check = checkModuleId(options.moduleId, "source id");
    }
    if (!check) {
        return check;
    }
    if (options.heartbeatMs < 0 || options.reconnectSeconds < 1 || options.registerTimeoutMs < 1) {
        return Result(Status::InvalidArgument,
                      "heartbeatMs must be 0 or more, reconnectSeconds and registerTimeoutMs 1 or more");
    }
    std::string ip;
    if (options.transport == Transport::Unix) {
        struct sockaddr_un probe;
        const size_t room = sizeof probe.sun_path - 1;
        if (options.unixPath.empty() || options.unixPath.size() > room ||
            options.unixPath.find('\0') != std::string::npos) {
            return Result(Status::InvalidArgument, "unix socket path must be 1 to " + std::to_string(room) +
                                                       " bytes long: \"" + options.unixPath + "\"");
        }
    } else {
        if (options.port < 1 || options.port > 65535) {
            return Result(Status::InvalidArgument, "port " + std::to_string(options.port) + " is not 1 to 65535");
        }
        std::string why;
        if (!resolveIpv4(options.host, ip, why)) {
            return Result(Status::Unreachable, "cannot resolve hub host " + options.host + ": " + why);
        }
    }

    closeLink();
    // A write to a hub that has just gone would otherwise end the module.
    signal(SIGPIPE, SIG_IGN);
    using namespace boost::placeholders;
    if (options.transport == Transport::Unix) {
        endpoint.reset(new CUnixClient(options.unixPath.c_str()));
    } else {
        endpoint.reset(new CTcpClient(ip, options.port));
    }
    endpoint->setName("hub");
    endpoint->setReadCallback(boost::bind(&Impl::onRead, this, _1, _2, _3));
    endpoint->setConnectCallback(boost::bind(&Impl::onConnected, this, _1));
    decoupler = CDecoupler(PacketFrame::kStartMark, PacketFrame::kEndMark);
    everConnected = false;
    open = true;

    // connectToHost restores connect()'s errno before its perror, but
    // glibc's perror on a standard error that is not yet oriented writes
    // through a duplicate opened "w+", which fails with EINVAL when standard
    // error is a pipe or a file opened for writing only, and errno is lost.
    // On a byte-oriented stream perror writes directly.
    fwide(stderr, -1);
    errno = 0;
    endpoint->connectToHost(); // calls onConnected, which registers and subscribes
    if (!endpoint->isConnected()) {
        const int err = errno;
        endpoint->closeSocket();
        open = false;
        return Result(Status::Unreachable,
                      "cannot reach the hub at " + where() + ": " + (err != 0 ? strerror(err) : "connect failed"));
    }
    manager.add(endpoint->getFd(), endpoint.get());
    inManager = true;
    manager.setCheckInterval(options.reconnectSeconds);
    if (options.heartbeatMs > 0) {
        manager.addTimer(kHeartbeatTimer, boost::bind(&Impl::onHeartbeatTimer, this, _1, _2), -1,
                         options.heartbeatMs, TIMER_PRIORITY_NORMAL, nullptr, 0);
    }
    if (options.registerModule) {
        while (!registered) {
            if (!endpoint->isConnected()) {
                closeLink();
                return Result(Status::NoReply,
                              "the hub at " + where() + " closed the connection before it answered the registration");
            }
            const int64_t left = options.registerTimeoutMs - msSince(registrationSentAt);
            if (left <= 0) {
                closeLink();
                return Result(Status::NoReply, "no registration reply from the hub at " + where() + " within " +
                                                   std::to_string(options.registerTimeoutMs) + " ms");
            }
            manager.runPass(left < 100 ? static_cast<int>(left) : 100);
        }
    }
    everConnected = true;
    notices.clear();
    return Result();
}

void CPellixClient::Impl::onConnected(CSocketClient *)
{
    // Runs inside connectToHost: from connect(), or from the socket
    // manager's connection check with its lock held. Only sending here.
    decoupler = CDecoupler(PacketFrame::kStartMark, PacketFrame::kEndMark);
    registered = false;
    if (everConnected) {
        ++stats.reconnects;
        // The loss has been reported; the return is, once the hub answers.
        awaitingRestore = options.registerModule;
    }
    if (options.registerModule) {
        registrationSentAt = SteadyClock::now();
        sendFrame(kHubId, CMD_REG, options.name.data(), options.name.size(), nullptr, 0, "registration");
    }
    sendSubscriptions();
    if (monitoring) {
        sendMonitorSwitch(MonitorRecord::kSwitchOn);
    }
    if (everConnected && !options.registerModule && linkUp()) {
        notices.push_back(1);
    }
}

void CPellixClient::Impl::onRead(CSocketClient *, const void *data, int len)
{
    if (len <= 0) {
        // The endpoint is marked disconnected; the manager's next check
        // reconnects it.
        registered = false;
        if (!awaitingRestore && open) {
            notices.push_back(0);
        }
        awaitingRestore = false;
        return;
    }
    decoupler.append(data, len);
    while (open && decoupler.nextFrame(cut) == 0) {
        dispatch(reinterpret_cast<const unsigned char *>(cut.data()), cut.size());
    }
}

void CPellixClient::Impl::dispatch(const unsigned char *frame, size_t size)
{
    ++stats.framesReceived;
    const int frameSize = static_cast<int>(size);
    int devId = 0;
    int srcId = 0;
    int cmd = 0;
    int len = 0;
    if (frameSize < PacketFrame::kMinFrameSize) {
        ++stats.malformedFrames;
        return;
    }
    PacketFrame::readU8(frame, frameSize, PacketFrame::kDevIdOffset, devId);
    PacketFrame::readU8(frame, frameSize, PacketFrame::kSrcIdOffset, srcId);
    PacketFrame::readU16LE(frame, frameSize, PacketFrame::kCmdOffset, cmd);
    PacketFrame::readU16LE(frame, frameSize, PacketFrame::kLenOffset, len);
    const unsigned char *payload = frame + PacketFrame::kPayloadOffset;
    const size_t payloadSize = static_cast<size_t>(PacketFrame::payloadSize(frameSize));

    if (options.registerModule && srcId == kHubId && cmd == CMD_REG && devId == options.moduleId) {
        if (!registered) {
            registered = true;
            if (awaitingRestore) {
                awaitingRestore = false;
                notices.push_back(1);
            }
        }
        return;
    }
    // The hub's status and monitor replies never reach the frame callback.
    if (srcId == kHubId && cmd == CMD_STATUS) {
        takeStatusPart(payload, payloadSize);
        return;
    }
    if (srcId == kHubId && cmd == CMD_MONITOR) {
        takeMonitorRecord(payload, payloadSize);
        return;
    }
    if (srcId == kEventSourceId && cmd == CMD_PUBLISH_EVENT && payloadSize >= 2 && (eventCallback || departureCallback)) {
        int event = 0;
        PacketFrame::readU16LE(payload, static_cast<int>(payloadSize), 0, event);
        if (event == kDepartureEvent && payloadSize == 3 && departureCallback) {
            const int moduleId = payload[2];
            guarded([&] { departureCallback(moduleId); });
            return;
        }
        if (eventCallback) {
            guarded([&] { eventCallback(event, payload + 2, payloadSize - 2); });
            return;
        }
    }
    if (frameCallback) {
        FrameView view;
        view.devId = static_cast<uint8_t>(devId);
        view.srcId = static_cast<uint8_t>(srcId);
        view.cmd = static_cast<uint16_t>(cmd);
        view.len = static_cast<uint16_t>(len);
        view.payload = payload;
        view.payloadSize = payloadSize;
        view.bytes = frame;
        view.size = size;
        guarded([&] { frameCallback(view); });
    }
}

void CPellixClient::Impl::takeStatusPart(const unsigned char *payload, size_t size)
{
    if (statusState != StatusWaiting) {
        return;
    }
    switch (status.add(payload, static_cast<int>(size))) {
    case StatusCollector::Complete:
        statusState = StatusComplete;
        break;
    case StatusCollector::TooLarge:
        statusState = StatusTooLarge;
        break;
    default:
        break;
    }
}

void CPellixClient::Impl::takeMonitorRecord(const unsigned char *payload, size_t size)
{
    MonitorView view;
    if (!frames::decodeMonitorView(payload, size, view)) {
        return;
    }
    monitorAnswered = monitorAnswered || view.kind == pellix::wire::kMonitorOn;
    if (view.kind == pellix::wire::kMonitorRefused) {
        // No monitor on this connection now, after a reconnect too.
        monitorRefusal = refusalReason(view);
        monitoring = false;
    }
    if (!monitorCallback) {
        return;
    }
    guarded([&] { monitorCallback(view); });
}

Result CPellixClient::Impl::sendMonitorSwitch(unsigned char on)
{
    return sendFrame(kHubId, CMD_MONITOR, &on, 1, nullptr, 0, on != 0 ? "monitor switch-on" : "monitor switch-off");
}

Result CPellixClient::Impl::serveUntil(const std::function<bool()> &done, int timeoutMs, const char *what)
{
    const SteadyClock::time_point start = SteadyClock::now();
    while (!done()) {
        if (!linkUp()) {
            return Result(Status::NoReply,
                          "the connection to the hub at " + where() + " was lost before it answered the " + what);
        }
        const int64_t left = timeoutMs - msSince(start);
        if (left <= 0) {
            return Result(Status::NoReply, "no answer to the " + std::string(what) + " from the hub at " + where() +
                                               " within " + std::to_string(timeoutMs) + " ms");
        }
        if (poll(left < 100 ? static_cast<int>(left) : 100) < 0) {
            const int err = errno;
            return Result(Status::NoReply, std::string("waiting for the hub failed: ") + strerror(err));
        }
    }
    return Result();
}

void CPellixClient::Impl::onHeartbeatTimer(const void *, int)
{
    if (linkUp() && sendFrame(kHubId, CMD_HEART, nullptr, 0, nullptr, 0, "heartbeat")) {
        ++stats.heartbeatsSent;
    }
}

Result CPellixClient::Impl::sendFrame(int devId, int cmd, const void *head, size_t headSize, const void *body,
                                      size_t bodySize, const char *what)
{
    if (!linkUp()) {
        return Result(Status::NotConnected, std::string("not connected to the hub; the ") + what + " was not sent");
    }
    if (!PacketFrame::build(out, devId, options.moduleId, static_cast<uint16_t>(cmd), head, headSize, body,
                            bodySize)) {
        return Result(Status::InvalidArgument, std::string("the ") + what + " does not fit a frame");
    }
    if (endpoint->sendData(out.data(), static_cast<int>(out.size())) < 0) {
        const int err = errno;
        // Part of the frame may have gone out; the hub would join the rest
        // of the stream to it. A new connection starts clean.
        endpoint->closeSocket();
        registered = false;
        if (!awaitingRestore) {
            notices.push_back(0);
        }
        awaitingRestore = false;
        return Result(Status::SendFailed, std::string("the hub at ") + where() + " did not take the " + what + ": " +
                                              strerror(err));
    }
    return Result();
}

Result CPellixClient::Impl::sendEventList(int cmd, const std::vector<int> &events)
{
    for (size_t from = 0; from < events.size(); from += frames::kEventsPerFrame) {
        const size_t count = std::min(frames::kEventsPerFrame, events.size() - from);
        EventList::encode(list, events, from, count);
        Result r = sendFrame(kEventSourceId, cmd, list.data(), list.size(), nullptr, 0,
                             cmd == CMD_REG_EVENT ? "subscription" : "unsubscription");
        if (!r) {
            return r;
        }
    }
    return Result();
}

Result CPellixClient::Impl::sendSubscriptions()
{
    Result r;
    if (!subscribed.empty()) {
        r = sendEventList(CMD_REG_EVENT, std::vector<int>(subscribed.begin(), subscribed.end()));
    }
    if (r && !withdrawn.empty()) {
        r = sendEventList(CMD_UNREG_EVENT, std::vector<int>(withdrawn.begin(), withdrawn.end()));
    }
    return r;
}

void CPellixClient::Impl::watchRegistration()
{
    // A hub that took the connection but never answers would leave the
    // module registered nowhere; a fresh connection gets another chance.
    if (linkUp() && awaitingRestore && msSince(registrationSentAt) > options.registerTimeoutMs) {
        endpoint->closeSocket();
        awaitingRestore = false;
    }
}

void CPellixClient::Impl::deliverNotices()
{
    for (size_t i = 0; i < notices.size(); ++i) {
        const bool up = notices[i] != 0;
        if (connectionCallback) {
            guarded([&] { connectionCallback(up); });
        }
    }
    notices.clear();
}

int CPellixClient::Impl::poll(int timeoutMs)
{
    if (callbackDepth > 0) {
        return -1;
    }
    const int result = manager.runPass(timeoutMs < 0 ? 0 : timeoutMs);
    const int err = errno;
    watchRegistration();
    deliverNotices();
    // A signal interrupting select() is no failure.
    return result < 0 && err != EINTR ? -1 : 0;
}

CPellixClient::CPellixClient(const ClientOptions &options) : impl(new Impl(options))
{
}

CPellixClient::~CPellixClient() = default;

const ClientOptions &CPellixClient::options() const
{
    return impl->options;
}

Result CPellixClient::connect()
{
    return impl->connect();
}

void CPellixClient::close()
{
    impl->closeLink();
}

bool CPellixClient::isConnected() const
{
    return impl->linkUp();
}

bool CPellixClient::isRegistered() const
{
    return impl->linkUp() && impl->registered;
}

Result CPellixClient::send(int devId, int cmd, const void *data, size_t size)
{
    Result r = checkModuleId(devId, "destination");
    if (r) {
        r = checkCommand(cmd);
    }
    if (r) {
        r = checkPayload(size, kMaxPayload, "payload");
    }
    if (!r) {
        return r;
    }
    return impl->sendFrame(devId, cmd, data, size, nullptr, 0, "frame");
}

Result CPellixClient::send(int devId, int cmd, const std::string &payload)
{
    return send(devId, cmd, payload.data(), payload.size());
}

Result CPellixClient::subscribe(const std::vector<int> &events)
{
    for (int event : events) {
        Result r = checkSubscribedEvent(event);
        if (!r) {
            return r;
        }
    }
    for (int event : events) {
        impl->subscribed.insert(event);
        impl->withdrawn.erase(event);
    }
    if (!impl->linkUp()) {
        return Result();
    }
    return impl->sendEventList(CMD_REG_EVENT, events);
}

Result CPellixClient::unsubscribe(const std::vector<int> &events)
{
    for (int event : events) {
        Result r = checkWithdrawnEvent(event);
        if (!r) {
            return r;
        }
    }
    for (int event : events) {
        impl->subscribed.erase(event);
        impl->withdrawn.insert(event);
    }
    if (!impl->linkUp()) {
        return Result();
    }
    return impl->sendEventList(CMD_UNREG_EVENT, events);
}

Result CPellixClient::publish(int event, const void *data, size_t size)
{
    Result r = checkPublishedEvent(event);
    if (r) {
        r = checkPayload(size, kMaxEventData, "event data");
    }
    if (!r) {
        return r;
    }
    unsigned char number[2];
    EventList::eventNumber(number, event);
    return impl->sendFrame(kEventSourceId, CMD_PUBLISH_EVENT, number, sizeof number, data, size, "publication");
}

Result CPellixClient::publish(int event, const std::string &data)
{
    return publish(event, data.data(), data.size());
}

Result CPellixClient::dumpSockets()
{
    return impl->sendFrame(kHubId, CMD_DUMP_SOCKET, nullptr, 0, nullptr, 0, "dump command");
}

Result CPellixClient::toggleDataPrint()
{
    return impl->sendFrame(kHubId, CMD_DATA_PRINT, nullptr, 0, nullptr, 0, "data print command");
}

Result CPellixClient::setHubTraceLevel(int level)
{
    Result r = checkTraceLevel(level);
    if (!r) {
        return r;
    }
    const unsigned char value[4] = {static_cast<unsigned char>(level), 0, 0, 0};
    return impl->sendFrame(kHubId, CMD_SET_DEBUG_LEVEL, value, sizeof value, nullptr, 0, "trace level command");
}

Result CPellixClient::heartbeat()
{
    Result r = impl->sendFrame(kHubId, CMD_HEART, nullptr, 0, nullptr, 0, "heartbeat");
    if (r) {
        ++impl->stats.heartbeatsSent;
    }
    return r;
}

Result CPellixClient::requestStatus(std::string &json, int timeoutMs)
{
    if (impl->callbackDepth > 0) {
        return Result(Status::Busy, "requestStatus() cannot be called from a callback");
    }
    if (timeoutMs < 1) {
        return Result(Status::InvalidArgument, "the status time-out must be 1 ms or more");
    }
    impl->status.reset();
    impl->statusState = Impl::StatusWaiting;
    Result r = impl->sendFrame(kHubId, CMD_STATUS, nullptr, 0, nullptr, 0, "status request");
    if (r) {
        r = impl->serveUntil([this] { return impl->statusState != Impl::StatusWaiting; }, timeoutMs,
                             "status request");
    }
    if (r && impl->statusState == Impl::StatusTooLarge) {
        r = Result(Status::NoReply, "the hub's status reply passed " +
                                        std::to_string(StatusCollector::kDefaultMaxBytes >> 20) + " MiB");
    }
    if (r) {
        json = impl->status.text();
    }
    impl->statusState = Impl::StatusIdle;
    impl->status.reset();
    return r;
}

Result CPellixClient::startMonitor(int timeoutMs)
{
    if (impl->callbackDepth > 0) {
        return Result(Status::Busy, "startMonitor() cannot be called from a callback");
    }
    if (timeoutMs < 1) {
        return Result(Status::InvalidArgument, "the monitor time-out must be 1 ms or more");
    }
    impl->monitorAnswered = false;
    impl->monitorRefusal.clear();
    Result r = impl->sendMonitorSwitch(MonitorRecord::kSwitchOn);
    if (r) {
        r = impl->serveUntil([this] { return impl->monitorAnswered || !impl->monitorRefusal.empty(); }, timeoutMs,
                             "monitor request");
    }
    if (r && !impl->monitorAnswered) {
        r = Result(Status::Refused, "the hub at " + impl->where() + " refused the monitor: " + impl->monitorRefusal);
    }
    impl->monitoring = r.ok();
    if (!r && r.status() != Status::Refused && impl->linkUp()) {
        impl->sendMonitorSwitch(MonitorRecord::kSwitchOff); // a slow hub must not start sending later
    }
    return r;
}

Result CPellixClient::stopMonitor()
{
    impl->monitoring = false;
    return impl->sendMonitorSwitch(MonitorRecord::kSwitchOff);
}

Result CPellixClient::report(const std::string &json)
{
    if (json.empty() || json.size() > static_cast<size_t>(PacketFrame::kMaxReportBytes)) {
        return Result(Status::InvalidArgument, "a report is 1 to " + std::to_string(PacketFrame::kMaxReportBytes) +
                                                   " bytes, got " + std::to_string(json.size()));
    }
    return impl->sendFrame(kHubId, CMD_REPORT, json.data(), json.size(), nullptr, 0, "report");
}

void CPellixClient::setMonitorCallback(const MonitorCallback &callback)
{
    impl->monitorCallback = callback;
}

void CPellixClient::setFrameCallback(const FrameCallback &callback)
{
    impl->frameCallback = callback;
}

void CPellixClient::setEventCallback(const EventCallback &callback)
{
    impl->eventCallback = callback;
}

void CPellixClient::setDepartureCallback(const DepartureCallback &callback)
{
    impl->departureCallback = callback;
}

void CPellixClient::setConnectionCallback(const ConnectionCallback &callback)
{
    impl->connectionCallback = callback;
}

int CPellixClient::poll(int timeoutMs)
{
    return impl->poll(timeoutMs);
}

int CPellixClient::run()
{
    if (impl->callbackDepth > 0) {
        return -1;
    }
    while (!impl->stopRequested.load()) {
        if (impl->poll(100) < 0) {
            return -1;
        }
    }
    impl->stopRequested.store(false);
    return 0;
}

void CPellixClient::stop()
{
    impl->stopRequested.store(true);
}

int CPellixClient::fd() const
{
    return impl->linkUp() ? impl->endpoint->getFd() : -1;
}

const ClientStats &CPellixClient::stats() const
{
    return impl->stats;
}

std::vector<int> CPellixClient::subscriptions() const
{
    return std::vector<int>(impl->subscribed.begin(), impl->subscribed.end());
}

void CPellixClient::setTraceLevel(int level)
{
    tm_set_level(level);
}

} // namespace pellix
