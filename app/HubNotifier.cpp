#include "app/HubNotifier.h"

#include "hub/CPellix.h"
#include "notify/SystemdNotifier.h"

HubNotifier::HubNotifier(CPellix &hub, SystemdNotifier &notifier) : pellix(hub), notify(notifier) {}

void HubNotifier::pass()
{
    notify.pass(CPellix::nowMs(), listening(), [this] { return statusLine(); });
}

bool HubNotifier::listening() const
{
    const CObjectBase *servers[] = {pellix.getTcpServer(), pellix.getUnixServer(), pellix.getUdpServer()};
    for (const CObjectBase *server : servers) {
        if (server == nullptr || !server->isConnected()) {
            return false;
        }
    }
    return true;
}

std::string HubNotifier::statusLine() const
{
    std::string waiting;
    const CObjectBase *servers[] = {pellix.getTcpServer(), pellix.getUnixServer(), pellix.getUdpServer()};
    for (const CObjectBase *server : servers) {
        if (server != nullptr && !server->isConnected()) {
            waiting += (waiting.empty() ? "" : ", ") + server->getName();
        }
    }
    if (!waiting.empty()) {
        return "not listening yet: " + waiting;
    }
    return "connections: " + std::to_string(pellix.connectionCount()) +
           ", modules: " + std::to_string(pellix.getDevMap().size()) +
           ", frames routed: " + std::to_string(pellix.totalTraffic().framesIn);
}
