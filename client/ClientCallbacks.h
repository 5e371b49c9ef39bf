#pragma once
// The module's callbacks, each called under a guard: nothing a callback
// throws gets into the loop (it is counted instead), and the depth tells
// the calls that cannot run inside a callback (connect, poll, the waits)
// that they are inside one. Not installed.

#include <cstdint>

#include <pellix/CPellixClient.h>

namespace pellix {

class ClientCallbacks {
public:
    // exceptions counts what the callbacks throw; it outlives this object.
    explicit ClientCallbacks(uint64_t &exceptions) : thrown(exceptions) {}

    CPellixClient::FrameCallback onFrame;
    CPellixClient::EventCallback onEvent;
    CPellixClient::DepartureCallback onDeparture;
    CPellixClient::ConnectionCallback onConnection;
    CPellixClient::MonitorCallback onMonitor;

    bool inCallback() const { return depth > 0; }

    // Each calls its callback when one is set.
    void frame(const FrameView &view);
    void event(int event, const uint8_t *data, size_t size);
    void departure(int moduleId);
    void connection(bool up);
    void monitor(const MonitorView &view);

private:
    template <typename F> void guarded(const F &call);

    uint64_t &thrown;
    int depth = 0;
};

} // namespace pellix
