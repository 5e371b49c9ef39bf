#pragma once
// A module's connection to the hub over TCP or the Unix-domain socket.
//
// connect() reaches the hub, registers under the module id and name and
// waits (bounded) for the hub's reply. From then on the client sends a
// heartbeat on its own, and when the connection is lost it reconnects,
// registers and subscribes again by itself; the module learns of it through
// the connection callback only. Frames addressed to the module, event
// deliveries and departure notices reach their callbacks; the hub's status
// document and monitor records are taken apart here.
//
// The client does its work only inside poll() or run(): either hand the
// thread to run() until stop(), or watch fd() in the module's own loop and
// call poll(0) when it is readable, and at least every 100 ms or so anyway,
// since reconnecting and heartbeats run on timers checked by poll().
//
// One thread at a time; stop() alone may be called from another thread or a
// signal handler. Callbacks run inside poll() and run(); they may send,
// subscribe, publish, close() and stop(), but not connect(), poll() or run()
// (those return Busy there), and must not destroy the client. An exception
// thrown by a callback is caught and counted, never passed through the loop.
// While connected, writing to a hub that has gone must not kill the module,
// so connect() makes the process ignore SIGPIPE.
//
// Installed as <pellix/CPellixClient.h>.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "PellixTypes.h"

namespace pellix {

class CPellixClient {
public:
    typedef std::function<void(const FrameView &frame)> FrameCallback;
    // Event number and the data that followed it in the publication.
    typedef std::function<void(int event, const uint8_t *data, size_t size)> EventCallback;
    // The id of a registered module that went away (event 0).
    typedef std::function<void(int moduleId)> DepartureCallback;
    // false when the connection is lost, true once it is back (registered
    // and subscribed again).
    typedef std::function<void(bool up)> ConnectionCallback;
    // One monitor record (see startMonitor).
    typedef std::function<void(const MonitorView &record)> MonitorCallback;

    explicit CPellixClient(const ClientOptions &options = ClientOptions());
    ~CPellixClient();
    CPellixClient(const CPellixClient &) = delete;
    CPellixClient &operator=(const CPellixClient &) = delete;

    const ClientOptions &options() const;

    // Connects and, when registering, waits for the registration reply;
    // then sends the subscriptions made so far. Unreachable when the hub
    // cannot be reached (nothing is retried then), NoReply when it did not
    // answer in time. Calling it again reconnects from scratch.
    Result connect();
    // Ends the connection (what was sent is still delivered) and stops the
    // reconnecting; subscriptions are remembered for the next connect().
    void close();
    // True while the connection is up.
    bool isConnected() const;
    // True once the hub has answered the registration on this connection.
    bool isRegistered() const;

    // A frame to a module (or the hub, or the event manager) with a 16-bit
    // command; the payload is at most 65529 bytes.
    Result send(int devId, int cmd, const void *data, size_t size);
    Result send(int devId, int cmd, const std::string &payload);

    // Events 0 to 0x7FFF (0 brings departure notices). Remembered and sent
    // again after every reconnect; while disconnected they are only
    // remembered and Ok is returned.
    Result subscribe(const std::vector<int> &events);
    // Any 16-bit event. Withdrawn again after every reconnect too, since the
    // hub restores every subscription it ever saved when it restarts.
    Result unsubscribe(const std::vector<int> &events);
    // Events 1 to 0x7FFF with at most 65527 bytes of data.
    Result publish(int event, const void *data, size_t size);
    Result publish(int event, const std::string &data);

    // The hub's commands: print its socket and timer tables, switch its hex
    // dumps of traffic, set its trace level (0 to 6). All show on the hub's
    // standard output only; requestStatus and the monitor bring what the hub
    // knows here.
    Result dumpSockets();
    // Asks the hub to read its access rules again; it takes this from root
    // over its Unix socket only, and answers nothing.
    Result reloadAccess();
    Result toggleDataPrint();
    Result setHubTraceLevel(int level);
    // Sends a heartbeat now; the timer does it every heartbeatMs anyway.
    Result heartbeat();

    // Asks the hub for its status and waits at most timeoutMs for the whole
    // JSON document (sent in parts, put together here). Frames, events and
    // timers are served meanwhile, with their callbacks. NoReply when the
    // document is not complete in time (a hub without this command never
    // answers), or passes 16 MiB. Not from a callback (Busy).
    Result requestStatus(std::string &json, int timeoutMs = 2000);
    // Sends one frame to module devId and waits at most timeoutMs for the
    // first frame that comes back from devId (with command replyCmd when it
    // is 0 or more): that frame goes into reply, not to the frame callback.
    // Everything else is served meanwhile, with its callbacks. Replies go to
    // the id the client registered under, so it must register
    // (InvalidArgument otherwise); NoReply when nothing came in time. Not
    // from a callback (Busy).
    Result request(int devId, int cmd, const void *data, size_t size, Reply &reply, int timeoutMs = 2000,
                   int replyCmd = -1);
    Result request(int devId, int cmd, const std::string &payload, Reply &reply, int timeoutMs = 2000,
                   int replyCmd = -1);
    // Switches the hub's monitor on for this connection and waits at most
    // timeoutMs for its answer (NoReply without one); from then on a copy
    // of every frame the hub routes reaches the monitor callback. Refused,
    // with the hub's reason, when the hub has as many monitors as it takes.
    // After a reconnect the monitor is switched on again; a refusal then
    // reaches the callback as a kMonitorRefused record and leaves it off.
    // Not from a callback (Busy).
    Result startMonitor(int timeoutMs = 2000);
    // Switches it off (nothing is waited for); records already sent still arrive.
    Result stopMonitor();
    // Hands the hub this module's own counters: one JSON object of at most
    // 1024 bytes of printable ASCII, shown under this connection in the
    // hub's status as "report" until the next report or a reconnect. The
    // hub checks it and drops it with a trace when it is not such an object;
    // a hub without the command ignores it.
    Result report(const std::string &json);

    void setFrameCallback(const FrameCallback &callback);
    void setEventCallback(const EventCallback &callback);
    // Without a departure callback, departure notices go to the event
    // callback as event 0 with the module id as their one byte of data.
    void setDepartureCallback(const DepartureCallback &callback);
    void setConnectionCallback(const ConnectionCallback &callback);
    void setMonitorCallback(const MonitorCallback &callback);

    // Runs the timers, waits at most timeoutMs for data and serves it.
    // 0 normally, -1 when select() failed or when called from a callback.
    int poll(int timeoutMs);
    // poll() until stop(); 0 then, -1 if select() failed.
    int run();
    void stop();

    // The descriptor to watch for readability, -1 while disconnected. It
    // changes with every reconnect.
    int fd() const;

    const ClientStats &stats() const;
    // The framework underneath traces to standard output at the process's
    // trace level (-1 silences it, 6 shows everything); the hub's own
    // meaning of the levels applies.
    static void setTraceLevel(int level);
    // The events currently subscribed to, ascending.
    std::vector<int> subscriptions() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

} // namespace pellix
