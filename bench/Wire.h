#pragma once
// The three things a scenario can run against, behind one interface:
//
//   floor   two endpoints of one loopback TCP connection per route, writing
//           Pellix frames straight to each other (no hub in between);
//   relay   the same frames, each route a sender's and a receiver's
//           connection to pellix-bench-relay (bench/Relay.h), which copies
//           every read of the one to the other: what any hub must pay;
//   pellix  one TCP connection per module to the hub, registered under its
//           own module id; forwarding by devId, fan-out by event 100;
//   mqtt    one MQTT 3.1.1 connection per module to the broker, subscribed
//           (QoS 0) to a topic of its own, or all to one topic for fan-out.
//
// A scenario names its modules 0..N-1 and its routes (sender, receiver);
// every receiver is fed by exactly one sender, so a receiver's messages
// carry one increasing sequence.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace bench {

enum class Target { Floor, Relay, Pellix, Mqtt };

// One whole message found in a receiving stream: its body (what the sender
// put in, without any framing).
struct Body {
    const unsigned char *data;
    size_t size;
};

class Wire {
public:
    virtual ~Wire();

    // Connects `modules` participants. With `fanOut`, module 0 publishes to
    // every other module; otherwise `routes` lists who sends to whom.
    // False, with the reason in error(), when something does not answer.
    virtual bool open(int modules, const std::vector<std::pair<int, int>> &routes, bool fanOut) = 0;
    virtual void close() = 0;

    // The descriptor `sender` writes to for `receiver` (fan-out: for all).
    virtual int sendFd(int sender, int receiver) const = 0;
    // Appends one message carrying `body` from sender to receiver.
    virtual void encode(std::string &out, int sender, int receiver, const unsigned char *body, size_t size) = 0;
    // Appends one publication to every subscriber (fan-out only). On the
    // floor a publication is one message on each subscriber's route.
    virtual void encodePublish(std::string &out, int sender, const unsigned char *body, size_t size) = 0;
    // Whether one publication is one write (hub, broker) or one per
    // subscriber (floor).
    virtual bool publishIsPerSubscriber() const { return false; }

    // The descriptors that deliver to receivers, each with its receiver.
    virtual std::vector<std::pair<int, int>> receiveFds() const = 0;
    // Cuts whole messages from the front of `data`; returns the bytes used
    // (a partial message stays for the next call). -1 when the stream is
    // not what this wire sends.
    virtual long parse(const unsigned char *data, size_t size, std::vector<Body> &out) = 0;

    // What module `module` sends to stay alive, and the descriptor it goes
    // to (-1: nothing to send). The hub drops a connection that has been
    // silent for 60 s, the broker one silent for 1.5 keep-alive periods;
    // a receiver that only receives would be dropped in a long run.
    virtual int keepAliveFd(int) const { return -1; }
    virtual void appendKeepAlive(std::string &, int) const {}

    const std::string &error() const { return lastError; }

protected:
    std::string lastError;
};

std::unique_ptr<Wire> makeWire(Target target, uint16_t port);

// The Pellix frame at the front of data (size bytes): 1 when it is whole,
// with its size in total; 0 when more bytes must come; -1 when the bytes
// are not a frame.
int pellixFrameAt(const unsigned char *data, size_t size, size_t &total);

// The bridge path: module 0 publishes, module 1 is an MQTT 3.1.1 client of the
// broker at subscribePort subscribed to kBridgeTopic at `qos` (it
// acknowledges QoS 1 itself). The publisher is a hub module publishing
// kBridgeEvent (hubPublisher), which a bridge carries to the broker, or an
// MQTT client publishing kBridgeTopic at `qos` to the broker at publishPort
// (the same broker, or one that bridges to it). open() returns once a probe
// went the whole way and every earlier probe is out of the way: the bridge
// or the brokers' link is up and subscribed. Runs are short: the MQTT
// clients ask for no keep-alive, the hub module sends its own.
extern const int kBridgeEvent;
extern const char kBridgeTopic[];
struct BridgeSetup {
    bool hubPublisher = false;
    uint16_t publishPort = 0;
    uint16_t subscribePort = 0;
    int qos = 0;
    int readyTimeoutMs = 15000;
    std::function<void()> onReady; // called once the path carries, before open() returns
};
std::unique_ptr<Wire> makeBridgeWire(const BridgeSetup &setup);
const char *targetName(Target target);

} // namespace bench
