#include "app/HubNotifier.h"

#include "hub/CPellix.h"
#include "hub/Clock.h"
#include "notify/SystemdNotifier.h"

HubNotifier::HubNotifier(CPellix &hub, SystemdNotifier &notifier) : pellix(hub), notify(notifier) {}

void HubNotifier::pass()
{
    notify.pass(Clock::nowMs(), listening(), [this] { return statusLine(); });
}

bool HubNotifier::listening() const
{
    return pellix.listening();
}

std::string HubNotifier::statusLine() const
{
    std::string waiting;
    if (!pellix.listening(&waiting)) {
        return "not listening yet: " + waiting;
    }
    return "connections: " + std::to_string(pellix.getSessions().size()) +
           ", modules: " + std::to_string(pellix.getSessions().registeredIds().size()) +
           ", frames routed: " + std::to_string(pellix.totalTraffic().framesIn);
}
