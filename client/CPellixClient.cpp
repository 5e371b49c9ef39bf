#include <pellix/CPellixClient.h>

#include <pellix/Wire.h>

#include "client/ClientDriver.h"
#include "trace/Trace.h"

namespace pellix {

// The public face keeps its one private pointer; the work is the driver's
// and its session's.
class CPellixClient::Impl : public ClientDriver {
public:
    using ClientDriver::ClientDriver;
};

CPellixClient::CPellixClient(const ClientOptions &options) : impl(new Impl(options))
{
}

CPellixClient::~CPellixClient() = default;

const ClientOptions &CPellixClient::options() const
{
    return impl->session().options();
}

Result CPellixClient::connect()
{
    return impl->connect();
}

void CPellixClient::close()
{
    impl->close();
}

bool CPellixClient::isConnected() const
{
    return impl->linkUp();
}

bool CPellixClient::isRegistered() const
{
    return impl->linkUp() && impl->session().registered();
}

Result CPellixClient::send(int devId, int cmd, const void *data, size_t size)
{
    const Result r = impl->session().frame(devId, cmd, data, size, impl->outbox());
    return r ? impl->write("frame") : r;
}

Result CPellixClient::send(int devId, int cmd, const std::string &payload)
{
    return send(devId, cmd, payload.data(), payload.size());
}

Result CPellixClient::subscribe(const std::vector<int> &events)
{
    const Result r = impl->session().subscribe(events, impl->outbox());
    // Remembered either way; sent again on the next connection.
    return r && impl->linkUp() ? impl->write("subscription") : r;
}

Result CPellixClient::unsubscribe(const std::vector<int> &events)
{
    const Result r = impl->session().unsubscribe(events, impl->outbox());
    return r && impl->linkUp() ? impl->write("unsubscription") : r;
}

Result CPellixClient::publish(int event, const void *data, size_t size)
{
    const Result r = impl->session().publish(event, data, size, impl->outbox());
    return r ? impl->write("publication") : r;
}

Result CPellixClient::publish(int event, const std::string &data)
{
    return publish(event, data.data(), data.size());
}

Result CPellixClient::dumpSockets()
{
    impl->session().hubCommand(wire::kCmdDumpSockets, impl->outbox());
    return impl->write("dump command");
}

Result CPellixClient::reloadAccess()
{
    impl->session().hubCommand(wire::kCmdReloadAccess, impl->outbox());
    return impl->write("reload command");
}

Result CPellixClient::toggleDataPrint()
{
    impl->session().hubCommand(wire::kCmdDataPrint, impl->outbox());
    return impl->write("data print command");
}

Result CPellixClient::setHubTraceLevel(int level)
{
    const Result r = impl->session().traceLevel(level, impl->outbox());
    return r ? impl->write("trace level command") : r;
}

Result CPellixClient::heartbeat()
{
    impl->session().hubCommand(wire::kCmdHeartbeat, impl->outbox());
    const Result r = impl->write("heartbeat");
    if (r) {
        ++impl->session().stats().heartbeatsSent;
    }
    return r;
}

Result CPellixClient::requestStatus(std::string &json, int timeoutMs)
{
    return impl->requestStatus(json, timeoutMs);
}

Result CPellixClient::request(int devId, int cmd, const void *data, size_t size, Reply &reply, int timeoutMs,
                             int replyCmd)
{
    return impl->request(devId, cmd, data, size, reply, timeoutMs, replyCmd);
}

Result CPellixClient::request(int devId, int cmd, const std::string &payload, Reply &reply, int timeoutMs,
                             int replyCmd)
{
    return request(devId, cmd, payload.data(), payload.size(), reply, timeoutMs, replyCmd);
}

Result CPellixClient::startMonitor(int timeoutMs)
{
    return impl->startMonitor(timeoutMs);
}

Result CPellixClient::stopMonitor()
{
    impl->session().stopMonitor(impl->outbox());
    return impl->write("monitor switch-off");
}

Result CPellixClient::report(const std::string &json)
{
    const Result r = impl->session().report(json, impl->outbox());
    return r ? impl->write("report") : r;
}

void CPellixClient::setFrameCallback(const FrameCallback &callback)
{
    impl->session().callbacks().onFrame = callback;
}

void CPellixClient::setEventCallback(const EventCallback &callback)
{
    impl->session().callbacks().onEvent = callback;
}

void CPellixClient::setDepartureCallback(const DepartureCallback &callback)
{
    impl->session().callbacks().onDeparture = callback;
}

void CPellixClient::setConnectionCallback(const ConnectionCallback &callback)
{
    impl->session().callbacks().onConnection = callback;
}

void CPellixClient::setMonitorCallback(const MonitorCallback &callback)
{
    impl->session().callbacks().onMonitor = callback;
}

int CPellixClient::poll(int timeoutMs)
{
    return impl->poll(timeoutMs);
}

int CPellixClient::run()
{
    return impl->run();
}

void CPellixClient::stop()
{
    impl->stop();
}

int CPellixClient::fd() const
{
    return impl->fd();
}

const ClientStats &CPellixClient::stats() const
{
    return impl->session().stats();
}

std::vector<int> CPellixClient::subscriptions() const
{
    return impl->session().subscriptions();
}

void CPellixClient::setTraceLevel(int level)
{
    tm_set_level(level);
}

} // namespace pellix
