#include "client/ClientDriver.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include <boost/bind/bind.hpp>

#include <pellix/Wire.h>

#include "client/HubAddress.h"
#include "net/CTcpClient.h"
#include "net/CUnixClient.h"

namespace pellix {

namespace {

const char *const kHeartbeatTimer = "heartbeat";

// The time the session's deadlines count in. Heartbeats run on the timers'
// own (replaceable) clock instead.
int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

ClientDriver::ClientDriver(const ClientOptions &options) : state(options)
{
    // The hub pauses after each descriptor it serves to share its loop among
    // many; a module watches one, and the pause would only cap what it reads.
    manager.setServePauseUs(0);
}

ClientDriver::~ClientDriver()
{
    close();
}

void ClientDriver::close()
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
    state.closed();
}

Result ClientDriver::connect()
{
    if (state.inCallback()) {
        return Result(Status::Busy, "connect() cannot be called from a callback");
    }
    const ClientOptions &options = state.options();
    Result r = state.checkOptions();
    struct in_addr address;
    if (r && options.transport == Transport::Tcp) {
        r = resolveHub(options.host, address);
    }
    if (!r) {
        return r;
    }

    close();
    // A write to a hub that has just gone would otherwise end the module.
    signal(SIGPIPE, SIG_IGN);
    using namespace boost::placeholders;
    if (options.transport == Transport::Unix) {
        endpoint.reset(new CUnixClient(options.unixPath.c_str()));
    } else {
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &address, ip, sizeof ip);
        endpoint.reset(new CTcpClient(ip, options.port));
    }
    endpoint->setName("hub");
    endpoint->setReadCallback(boost::bind(&ClientDriver::onRead, this, _1, _2, _3));
    endpoint->setConnectCallback(boost::bind(&ClientDriver::onConnected, this, _1));
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
        state.closed();
        return Result(Status::Unreachable, "cannot reach the hub at " + state.where() + ": " +
                                               (err != 0 ? strerror(err) : "connect failed"));
    }
    manager.add(endpoint->getFd(), endpoint.get());
    inManager = true;
    manager.setCheckInterval(options.reconnectSeconds);
    if (options.heartbeatMs > 0) {
        manager.addTimer(kHeartbeatTimer, boost::bind(&ClientDriver::onHeartbeatTimer, this, _1, _2), -1,
                         options.heartbeatMs, TIMER_PRIORITY_NORMAL, nullptr, 0);
    }
    if (options.registerModule) {
        r = waitForRegistration();
        if (!r) {
            close();
            return r;
        }
    }
    everConnected = true;
    state.established();
    return Result();
}

Result ClientDriver::waitForRegistration()
{
    while (!state.registered()) {
        if (!endpoint->isConnected()) {
            return Result(Status::NoReply, "the hub at " + state.where() +
                                               " closed the connection before it answered the registration");
        }
        const int64_t left = state.registrationDeadlineMs() - nowMs();
        if (left <= 0) {
            return Result(Status::NoReply, "no registration reply from the hub at " + state.where() + " within " +
                                               std::to_string(state.options().registerTimeoutMs) + " ms");
        }
        manager.runPass(left < 100 ? static_cast<int>(left) : 100);
    }
    return Result();
}

void ClientDriver::onConnected(CSocketClient *)
{
    // Runs inside connectToHost: from connect(), or from the socket
    // manager's connection check with its lock held. Only sending here; the
    // module hears of the connection at the end of the pass.
    state.connected(everConnected, nowMs(), outbox());
    write("registration");
}

void ClientDriver::onRead(CSocketClient *, const void *data, int len)
{
    if (len <= 0) {
        // The endpoint is marked disconnected; the manager's next check
        // reconnects it.
        state.lost();
        return;
    }
    state.feed(data, static_cast<size_t>(len));
}

void ClientDriver::onHeartbeatTimer(const void *, int)
{
    if (!linkUp()) {
        return;
    }
    state.hubCommand(wire::kCmdHeartbeat, outbox());
    if (write("heartbeat")) {
        ++state.stats().heartbeatsSent;
    }
}

Result ClientDriver::write(const char *what)
{
    if (!linkUp()) {
        return Result(Status::NotConnected, std::string("not connected to the hub; the ") + what + " was not sent");
    }
    if (out.empty() || endpoint->sendData(out.data(), static_cast<int>(out.size())) >= 0) {
        return Result();
    }
    const int err = errno;
    // Part of the frame may have gone out; the hub would join the rest of
    // the stream to it. A new connection starts clean.
    endpoint->closeSocket();
    state.lost();
    return Result(Status::SendFailed, std::string("the hub at ") + state.where() + " did not take the " + what +
                                          ": " + strerror(err));
}

Result ClientDriver::serveUntil(const std::function<bool()> &done, int timeoutMs, const char *what)
{
    const int64_t start = nowMs();
    while (!done()) {
        if (!linkUp()) {
            return Result(Status::NoReply, "the connection to the hub at " + state.where() +
                                               " was lost before it answered the " + what);
        }
        const int64_t left = timeoutMs - (nowMs() - start);
        if (left <= 0) {
            return Result(Status::NoReply, "no answer to the " + std::string(what) + " from the hub at " +
                                               state.where() + " within " + std::to_string(timeoutMs) + " ms");
        }
        if (poll(left < 100 ? static_cast<int>(left) : 100) < 0) {
            const int err = errno;
            return Result(Status::NoReply, std::string("waiting for the hub failed: ") + strerror(err));
        }
    }
    return Result();
}

Result ClientDriver::requestStatus(std::string &json, int timeoutMs)
{
    if (state.inCallback()) {
        return Result(Status::Busy, "requestStatus() cannot be called from a callback");
    }
    if (timeoutMs < 1) {
        return Result(Status::InvalidArgument, "the status time-out must be 1 ms or more");
    }
    state.beginStatus(outbox());
    Result r = write("status request");
    if (r) {
        r = serveUntil([this] { return state.statusAnswered(); }, timeoutMs, "status request");
    }
    return state.endStatus(r, json);
}

Result ClientDriver::startMonitor(int timeoutMs)
{
    if (state.inCallback()) {
        return Result(Status::Busy, "startMonitor() cannot be called from a callback");
    }
    if (timeoutMs < 1) {
        return Result(Status::InvalidArgument, "the monitor time-out must be 1 ms or more");
    }
    state.beginMonitor(outbox());
    Result r = write("monitor switch-on");
    if (r) {
        r = serveUntil([this] { return state.monitorAnswered(); }, timeoutMs, "monitor request");
    }
    r = state.endMonitor(r, outbox());
    if (!out.empty() && linkUp()) {
        write("monitor switch-off");
    }
    return r;
}

Result ClientDriver::request(int devId, int cmd, const void *data, size_t size, Reply &reply, int timeoutMs,
                             int replyCmd)
{
    if (state.inCallback()) {
        return Result(Status::Busy, "request() cannot be called from a callback");
    }
    if (timeoutMs < 1) {
        return Result(Status::InvalidArgument, "the request time-out must be 1 ms or more");
    }
    Result r = state.beginRequest(devId, cmd, data, size, replyCmd, outbox());
    if (r) {
        r = write("request");
    }
    if (r) {
        r = serveUntil([this] { return state.requestAnswered(); }, timeoutMs, "request");
        if (!r && linkUp() && !state.requestAnswered()) {
            char who[8];
            snprintf(who, sizeof who, "0x%02x", devId);
            r = Result(Status::NoReply, std::string("no reply from ") + who + " within " + std::to_string(timeoutMs) +
                                            " ms");
        }
    }
    return state.endRequest(r, reply);
}

int ClientDriver::poll(int timeoutMs)
{
    if (state.inCallback()) {
        return -1;
    }
    const int result = manager.runPass(timeoutMs < 0 ? 0 : timeoutMs);
    const int err = errno;
    // A hub that took the connection but never answers would leave the
    // module registered nowhere; a fresh connection gets another chance.
    if (linkUp() && state.registrationOverdue(nowMs())) {
        endpoint->closeSocket();
        state.lost();
    }
    state.deliverNotices();
    // A signal interrupting select() is no failure.
    return result < 0 && err != EINTR ? -1 : 0;
}

int ClientDriver::run()
{
    if (state.inCallback()) {
        return -1;
    }
    while (!stopRequested.load()) {
        if (poll(100) < 0) {
            return -1;
        }
    }
    stopRequested.store(false);
    return 0;
}

} // namespace pellix
