#pragma once
// What a connection to the hub knows, without any I/O: the frames a new
// connection starts with (the registration, the subscriptions and
// withdrawals to restore, the monitor), the frames of every call, the
// registration and status and monitor answers, and what the received bytes
// mean, down to the module's callbacks. It never touches a descriptor, a
// clock or a signal: the driver (CPellixClient) hands it what it reads and
// the time where a deadline matters, and writes out what it is given.
//
// Outgoing frames are appended to the caller's buffer; a call refused
// before anything is built leaves the buffer as it was. Not installed.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <pellix/CPellixClient.h>

#include "client/ClientCallbacks.h"
#include "client/FrameBuilder.h"
#include "proto/CDecoupler.h"
#include "proto/StatusCollector.h"

class FrameHeader;

namespace pellix {

class ClientSession {
public:
    explicit ClientSession(const ClientOptions &options);
    ClientSession(const ClientSession &) = delete;
    ClientSession &operator=(const ClientSession &) = delete;

    const ClientOptions &options() const { return settings; }
    // The settings a connection can be made with; InvalidArgument and why
    // not otherwise.
    Result checkOptions() const;
    // "host:port" or "unix socket path", for the sentences of results.
    std::string where() const;

    ClientCallbacks &callbacks() { return calls; }
    bool inCallback() const { return calls.inCallback(); }
    ClientStats &stats() { return counters; }
    const ClientStats &stats() const { return counters; }
    // Ascending.
    std::vector<int> subscriptions() const;

    // The connection's life, as the driver sees it. Announced to the
    // connection callback (by deliverNotices) are only the changes the
    // module has not been told of: a loss once, the return once the
    // reconnected hub answered the registration (at once without one).
    //
    // A new connection, its first frames into out; reconnect when it is
    // not the one connect() made. nowMs starts the registration's deadline.
    void connected(bool reconnect, int64_t nowMs, std::string &out);
    // connect() is done: the module knows the connection is up.
    void established();
    // The connection is gone: end of stream, a failed send, a reconnected
    // hub that did not answer the registration in time.
    void lost();
    // close(): nothing more is dispatched or announced until the next
    // connection.
    void closed();
    bool registered() const { return isRegistered; }
    // When connect() stops waiting for the registration reply.
    int64_t registrationDeadlineMs() const { return registrationSentMs + settings.registerTimeoutMs; }
    // A reconnected hub that has not answered the registration by nowMs:
    // the driver drops the connection and tries a fresh one.
    bool registrationOverdue(int64_t nowMs) const;

    // Received bytes: cut into frames and each taken as below. Never from
    // inside a callback (the frames being dispatched live in the splitter).
    void feed(const void *data, size_t size);
    // One cut frame, markers included.
    void take(const unsigned char *frame, size_t size);
    // The connection changes noted since the last call, to the callback.
    void deliverNotices();

    // The frames of the calls, checked first (InvalidArgument).
    Result frame(int devId, int cmd, const void *data, size_t size, std::string &out)
    {
        return builder.frame(devId, cmd, data, size, out);
    }
    // Remembered for every later connection even when nothing is sent.
    Result subscribe(const std::vector<int> &events, std::string &out);
    Result unsubscribe(const std::vector<int> &events, std::string &out);
    Result publish(int event, const void *data, size_t size, std::string &out)
    {
        return builder.publish(event, data, size, out);
    }
    Result traceLevel(int level, std::string &out) { return builder.traceLevel(level, out); }
    Result report(const std::string &json, std::string &out) { return builder.report(json, out); }
    // A command to the hub without payload (heartbeat, dump, data print).
    void hubCommand(int cmd, std::string &out) { builder.hubCommand(cmd, out); }

    // A status request: parts are taken only between begin and end, so a
    // late reply to an abandoned request is dropped.
    void beginStatus(std::string &out);
    bool statusAnswered() const { return statusState != StatusWaiting; }
    // Ends the request whose wait ended with waited: the document in json
    // when it came whole, NoReply when it passed the collector's bound.
    Result endStatus(const Result &waited, std::string &json);

    // A request: its frame into out; from then until endRequest, the first
    // frame from devId (with replyCmd when it is 0 or more) is its reply and
    // reaches no callback. Only a registered client gets replies.
    Result beginRequest(int devId, int cmd, const void *data, size_t size, int replyCmd, std::string &out);
    bool requestAnswered() const { return requestState == RequestAnswered; }
    // Ends the request whose wait ended with waited: the reply when it came.
    Result endRequest(const Result &waited, Reply &reply);

    // Switching the monitor on: answered by an on record or a refusal.
    void beginMonitor(std::string &out);
    bool monitorAnswered() const { return monitorOn || !monitorRefusal.empty(); }
    // The outcome of a switch-on whose wait ended with waited (Refused with
    // the hub's reason); the monitor stays on, after reconnects too, only
    // when Ok. A wait that failed puts the switch-off into out, so that a
    // slow hub does not start sending later.
    Result endMonitor(const Result &waited, std::string &out);
    void stopMonitor(std::string &out);
    bool monitoring() const { return monitorWanted; }

private:
    void announce(bool up);
    void takeRegistration();
    bool takeDelivery(const FrameHeader &header);
    void takeStatusPart(const FrameHeader &header);
    void takeMonitorRecord(const FrameHeader &header);
    bool takeReply(const FrameHeader &header);

    const ClientOptions settings;
    ClientStats counters; // before calls, which counts into it
    ClientCallbacks calls;
    FrameBuilder builder;
    CDecoupler splitter;

    std::set<int> subscribed;
    std::set<int> withdrawn;

    bool open = false;            // from a connection until closed()
    bool isRegistered = false;    // the hub answered on this connection
    bool awaitingRestore = false; // reconnected, registration reply still to come
    bool announcedUp = false;     // what the module was last told
    int64_t registrationSentMs = 0;
    std::vector<char> notices; // changes to announce, in order

    StatusCollector status;
    enum StatusState { StatusIdle, StatusWaiting, StatusComplete, StatusTooLarge } statusState = StatusIdle;

    enum RequestState { RequestIdle, RequestWaiting, RequestAnswered } requestState = RequestIdle;
    int requestDev = 0;
    int requestReplyCmd = -1; // -1: any command
    Reply requestReply;

    bool monitorWanted = false;  // switched on again after every reconnect
    bool monitorOn = false;      // the hub's on record since the last switch-on
    std::string monitorRefusal;  // the reason of a refusal since the last switch-on
};

} // namespace pellix
