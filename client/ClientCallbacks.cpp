#include "client/ClientCallbacks.h"

namespace pellix {

template <typename F> void ClientCallbacks::guarded(const F &call)
{
    ++depth;
    try {
        call();
    } catch (...) {
        ++thrown;
    }
    --depth;
}

void ClientCallbacks::frame(const FrameView &view)
{
    if (onFrame) {
        guarded([&] { onFrame(view); });
    }
}

void ClientCallbacks::event(int number, const uint8_t *data, size_t size)
{
    if (onEvent) {
        guarded([&] { onEvent(number, data, size); });
    }
}

void ClientCallbacks::departure(int moduleId)
{
    if (onDeparture) {
        guarded([&] { onDeparture(moduleId); });
    }
}

void ClientCallbacks::connection(bool up)
{
    if (onConnection) {
        guarded([&] { onConnection(up); });
    }
}

void ClientCallbacks::monitor(const MonitorView &view)
{
    if (onMonitor) {
        guarded([&] { onMonitor(view); });
    }
}

} // namespace pellix
