#include "bench/Wire.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bench/BenchIo.h"
#include "bench/Relay.h"
#include "proto/EventList.h"
#include "proto/FrameHeader.h"
#include "proto/PacketFrame.h"

namespace bench {

namespace {

const int kReplyTimeoutMs = 5000;
const int kFirstModuleId = 0x10; // module i registers as 0x10 + i
const int kFanOutEvent = 100;
const int kForwardCmd = 0x0042;
const int kBarrierCmd = 0x0043;

bool writeText(int fd, const std::string &data)
{
    return writeAll(fd, data.data(), data.size());
}

// ---- Pellix frames ------------------------------------------------------

void appendFrame(std::string &out, int dev, int src, int cmd, const unsigned char *prefix, size_t prefixSize,
                 const unsigned char *body, size_t size)
{
    PacketFrame::append(out, dev, src, static_cast<uint16_t>(cmd), prefix, prefixSize, body, size);
}

std::string frame(int dev, int src, int cmd, const std::string &payload = std::string())
{
    std::string out;
    PacketFrame::build(out, dev, src, static_cast<uint16_t>(cmd), payload.data(), payload.size());
    return out;
}

std::string eventList(int event)
{
    std::string list;
    EventList::encode(list, std::vector<int>{event}, 0, 1);
    return list;
}

// Frames as the hub sends them: a forwarded frame's body is its payload, an
// event delivery's body follows the 2-byte event number.
long parseFrames(const unsigned char *data, size_t size, std::vector<Body> &out)
{
    size_t pos = 0;
    size_t total = 0;
    int whole = 0;
    while ((whole = pellixFrameAt(data + pos, size - pos, total)) == 1) {
        FrameHeader h;
        FrameHeader::decode(data + pos, static_cast<int>(total), h);
        const unsigned char *payload = h.payload;
        size_t payloadSize = static_cast<size_t>(h.payloadSize);
        if (h.cmd == CMD_PUBLISH_EVENT && h.srcId == EVENT_MGR_DEV_ID) {
            if (payloadSize < 2) {
                return -1;
            }
            payload += 2;
            payloadSize -= 2;
        }
        out.push_back(Body{payload, payloadSize});
        pos += total;
    }
    return whole < 0 ? -1 : static_cast<long>(pos);
}

// ---- the floor ----------------------------------------------------------

// The floor's links are two ends of one loopback connection; through the
// relay (relayPort set), a sender's connection and a receiver's connection
// to it, paired by their hellos and checked with one frame each way round.
class FloorWire : public Wire {
public:
    explicit FloorWire(uint16_t relay = 0) : relayPort(relay) {}

    bool open(int modules, const std::vector<std::pair<int, int>> &routes, bool fanOut) override
    {
        uint16_t port = 0;
        const int listener = relayPort != 0 ? -1 : listenLoopback(port);
        if (relayPort == 0 && listener < 0) {
            lastError = "cannot listen on the loopback";
            return false;
        }
        std::vector<std::pair<int, int>> wanted = routes;
        if (fanOut) {
            wanted.clear();
            for (int r = 1; r < modules; ++r) {
                wanted.emplace_back(0, r);
            }
        }
        for (const auto &route : wanted) {
            Link link;
            link.sender = route.first;
            link.receiver = route.second;
            const bool made = relayPort != 0 ? relayLink(link) : directLink(listener, port, link);
            if (!made) {
                if (listener >= 0) {
                    ::close(listener);
                }
                return false;
            }
        }
        if (listener >= 0) {
            ::close(listener);
        }
        return true;
    }
    void close() override
    {
        for (const Link &link : links) {
            ::close(link.out);
            ::close(link.in);
        }
        links.clear();
    }
    int sendFd(int sender, int receiver) const override
    {
        for (const Link &link : links) {
            if (link.sender == sender && link.receiver == receiver) {
                return link.out;
            }
        }
        return -1;
    }
    void encode(std::string &out, int sender, int receiver, const unsigned char *body, size_t size) override
    {
        appendFrame(out, kFirstModuleId + receiver, kFirstModuleId + sender, kForwardCmd, nullptr, 0, body, size);
    }
    void encodePublish(std::string &out, int sender, const unsigned char *body, size_t size) override
    {
        encode(out, sender, 1, body, size);
    }
    bool publishIsPerSubscriber() const override { return true; }
    std::vector<std::pair<int, int>> receiveFds() const override
    {
        std::vector<std::pair<int, int>> fds;
        for (const Link &link : links) {
            fds.emplace_back(link.in, link.receiver);
        }
        return fds;
    }
    long parse(const unsigned char *data, size_t size, std::vector<Body> &out) override
    {
        return parseFrames(data, size, out);
    }

private:
    struct Link {
        int sender;
        int receiver;
        int out;
        int in;
    };

    bool directLink(int listener, uint16_t port, Link &link)
    {
        link.out = connectLoopback(port);
        link.in = link.out < 0 ? -1 : accept(listener, nullptr, nullptr);
        if (link.out < 0 || link.in < 0) {
            if (link.out >= 0) {
                ::close(link.out);
            }
            lastError = "cannot connect a loopback route";
            return false;
        }
        links.push_back(link);
        return true;
    }
    bool relayLink(Link &link)
    {
        const uint32_t key = (static_cast<uint32_t>(getpid()) << 16) ^ static_cast<uint32_t>(links.size());
        link.out = connectLoopback(relayPort);
        link.in = connectLoopback(relayPort);
        if (link.out >= 0 || link.in >= 0) {
            links.push_back(link); // closed with the others from here on
        }
        const std::string check = frame(kFirstModuleId + link.receiver, kFirstModuleId + link.sender, kBarrierCmd);
        std::string got(check.size(), '\0');
        if (link.out < 0 || link.in < 0 || !writeText(link.out, Relay::hello(true, key)) ||
            !writeText(link.in, Relay::hello(false, key)) || !writeText(link.out, check) ||
            !readExact(link.in, &got[0], got.size(), kReplyTimeoutMs) || got != check) {
            lastError = "no route through the relay on port " + std::to_string(relayPort);
            return false;
        }
        return true;
    }

    uint16_t relayPort;
    std::vector<Link> links;
};

// One connection per module, which it both sends and receives on: the hub
// and the broker.
class ModuleWire : public Wire {
public:
    int sendFd(int sender, int) const override { return fds[static_cast<size_t>(sender)]; }
    std::vector<std::pair<int, int>> receiveFds() const override
    {
        std::vector<std::pair<int, int>> out;
        for (size_t i = 0; i < fds.size(); ++i) {
            out.emplace_back(fds[i], static_cast<int>(i));
        }
        return out;
    }
    int keepAliveFd(int module) const override { return fds[static_cast<size_t>(module)]; }

protected:
    void closeAll()
    {
        for (int fd : fds) {
            ::close(fd);
        }
        fds.clear();
    }

    std::vector<int> fds; // module i's connection
};

// ---- the hub ------------------------------------------------------------

class PellixWire : public ModuleWire {
public:
    explicit PellixWire(uint16_t hubPort) : port(hubPort) {}

    bool open(int modules, const std::vector<std::pair<int, int>> &, bool fanOut) override
    {
        for (int i = 0; i < modules; ++i) {
            const int id = kFirstModuleId + i;
            const int fd = connectLoopback(port);
            if (fd < 0) {
                lastError = "cannot reach the hub on port " + std::to_string(port);
                return false;
            }
            fds.push_back(fd);
            const std::string reply = frame(id, CENTER_DEV_ID, CMD_REG);
            std::string got(reply.size(), '\0');
            if (!writeText(fd, frame(CENTER_DEV_ID, id, CMD_REG, "bench-" + std::to_string(i))) ||
                !readExact(fd, &got[0], got.size(), kReplyTimeoutMs) || got != reply) {
                lastError = "no registration reply for module " + std::to_string(id);
                return false;
            }
        }
        if (fanOut) {
            const std::string list = eventList(kFanOutEvent);
            for (int i = 1; i < modules; ++i) {
                const int id = kFirstModuleId + i;
                // A frame to itself comes back once the hub has handled the
                // subscription in front of it.
                const std::string barrier = frame(id, id, kBarrierCmd);
                std::string got(barrier.size(), '\0');
                if (!writeText(fds[i], frame(EVENT_MGR_DEV_ID, id, CMD_REG_EVENT, list) + barrier) ||
                    !readExact(fds[i], &got[0], got.size(), kReplyTimeoutMs) || got != barrier) {
                    lastError = "subscription of module " + std::to_string(id) + " not confirmed";
                    return false;
                }
            }
            subscribed = true;
        }
        return true;
    }
    void close() override
    {
        if (subscribed) {
            // Subscriptions outlive the connections in the hub's table.
            const std::string list = eventList(kFanOutEvent);
            for (size_t i = 1; i < fds.size(); ++i) {
                writeText(fds[i], frame(EVENT_MGR_DEV_ID, kFirstModuleId + static_cast<int>(i), CMD_UNREG_EVENT, list));
            }
            subscribed = false;
        }
        closeAll();
    }
    void encode(std::string &out, int sender, int receiver, const unsigned char *body, size_t size) override
    {
        appendFrame(out, kFirstModuleId + receiver, kFirstModuleId + sender, kForwardCmd, nullptr, 0, body, size);
    }
    void encodePublish(std::string &out, int sender, const unsigned char *body, size_t size) override
    {
        unsigned char event[2];
        EventList::eventNumber(event, kFanOutEvent);
        appendFrame(out, EVENT_MGR_DEV_ID, kFirstModuleId + sender, CMD_PUBLISH_EVENT, event, sizeof event, body, size);
    }
    long parse(const unsigned char *data, size_t size, std::vector<Body> &out) override
    {
        return parseFrames(data, size, out);
    }
    void appendKeepAlive(std::string &out, int module) const override
    {
        appendFrame(out, CENTER_DEV_ID, kFirstModuleId + module, CMD_HEART, nullptr, 0, nullptr, 0);
    }

private:
    uint16_t port;
    bool subscribed = false;
};

// ---- the MQTT broker ----------------------------------------------------

void appendRemainingLength(std::string &out, size_t length)
{
    do {
        unsigned char byte = static_cast<unsigned char>(length % 128);
        length /= 128;
        if (length > 0) {
            byte |= 0x80;
        }
        out += static_cast<char>(byte);
    } while (length > 0);
}

// The MQTT packet at p (avail bytes): 1 when it is all there, with its
// fixed header's size and its remaining length; 0 when more must come; -1
// when its length field runs past four bytes.
int packetAt(const unsigned char *p, size_t avail, size_t &header, size_t &length)
{
    length = 0;
    header = 1;
    for (int shift = 0; header < avail && header <= 4; shift += 7) {
        const unsigned char byte = p[header++];
        length |= static_cast<size_t>(byte & 0x7f) << shift;
        if ((byte & 0x80) == 0) {
            return avail - header >= length ? 1 : 0;
        }
    }
    return header > 4 ? -1 : 0;
}

void appendString(std::string &out, const std::string &text)
{
    out += static_cast<char>((text.size() >> 8) & 0xff);
    out += static_cast<char>(text.size() & 0xff);
    out += text;
}

class MqttWire : public ModuleWire {
public:
    explicit MqttWire(uint16_t brokerPort) : port(brokerPort) {}

    bool open(int modules, const std::vector<std::pair<int, int>> &routes, bool fanOut) override
    {
        std::vector<bool> receives(static_cast<size_t>(modules), false);
        for (const auto &route : routes) {
            receives[static_cast<size_t>(route.second)] = true;
        }
        for (int i = 0; i < modules; ++i) {
            const int fd = connectLoopback(port);
            if (fd < 0) {
                lastError = "cannot reach the broker on port " + std::to_string(port);
                return false;
            }
            fds.push_back(fd);
            std::string variable;
            appendString(variable, "MQTT");
            variable += '\x04';                  // protocol level 3.1.1
            variable += '\x02';                  // clean session
            variable += std::string("\x00\x3c", 2); // keep-alive 60 s
            appendString(variable, "pellix-bench-" + std::to_string(getpid()) + "-" + std::to_string(i));
            std::string connect(1, '\x10');
            appendRemainingLength(connect, variable.size());
            connect += variable;
            unsigned char ack[4];
            if (!writeAll(fd, connect.data(), connect.size()) || !readExact(fd, ack, sizeof ack, kReplyTimeoutMs) ||
                ack[0] != 0x20 || ack[3] != 0) {
                lastError = "broker refused the connection of module " + std::to_string(i);
                return false;
            }
            const bool subscriber = fanOut ? i > 0 : receives[static_cast<size_t>(i)];
            if (!subscriber) {
                continue;
            }
            std::string body("\x00\x01", 2); // packet id 1
            appendString(body, fanOut ? fanTopic() : topicOf(i));
            body += '\x00'; // QoS 0
            std::string subscribe(1, '\x82');
            appendRemainingLength(subscribe, body.size());
            subscribe += body;
            unsigned char suback[5];
            if (!writeAll(fd, subscribe.data(), subscribe.size()) ||
                !readExact(fd, suback, sizeof suback, kReplyTimeoutMs) || suback[0] != 0x90 || suback[4] != 0) {
                lastError = "broker refused the subscription of module " + std::to_string(i);
                return false;
            }
        }
        topics.clear();
        for (int i = 0; i < modules; ++i) {
            topics.push_back(topicOf(i));
        }
        return true;
    }
    void close() override
    {
        for (int fd : fds) {
            writeAll(fd, "\xe0\x00", 2); // DISCONNECT
        }
        closeAll();
    }
    void encode(std::string &out, int, int receiver, const unsigned char *body, size_t size) override
    {
        appendPublish(out, topics[static_cast<size_t>(receiver)], body, size);
    }
    void encodePublish(std::string &out, int, const unsigned char *body, size_t size) override
    {
        appendPublish(out, fanTopic(), body, size);
    }
    long parse(const unsigned char *data, size_t size, std::vector<Body> &out) override
    {
        size_t pos = 0;
        while (size - pos >= 2) {
            const unsigned char *p = data + pos;
            size_t header = 0;
            size_t length = 0;
            const int whole = packetAt(p, size - pos, header, length);
            if (whole <= 0) {
                if (whole < 0) {
                    return -1;
                }
                break;
            }
            if ((p[0] & 0xf0) == 0x30) {
                // PUBLISH, QoS 0: topic, then the payload.
                if (length < 2) {
                    return -1;
                }
                const size_t topicSize = static_cast<size_t>((p[header] << 8) | p[header + 1]);
                if (2 + topicSize > length) {
                    return -1;
                }
                out.push_back(Body{p + header + 2 + topicSize, length - 2 - topicSize});
            }
            pos += header + length;
        }
        return static_cast<long>(pos);
    }

    // PINGREQ; parse() passes over the PINGRESP.
    void appendKeepAlive(std::string &out, int) const override { out.append("\xc0\x00", 2); }

private:
    static std::string topicOf(int module) { return "bench/m" + std::to_string(module); }
    static std::string fanTopic() { return "bench/fan"; }
    static void appendPublish(std::string &out, const std::string &topic, const unsigned char *body, size_t size)
    {
        out += '\x30';
        appendRemainingLength(out, 2 + topic.size() + size);
        appendString(out, topic);
        out.append(reinterpret_cast<const char *>(body), size);
    }

    uint16_t port;
    std::vector<std::string> topics;
};

// ---- through a bridge to a broker ---------------------------------------

const uint64_t kProbeMark = 0xffffffff00000000ULL; // probes: kProbeMark + n; never a run's sequence
const uint64_t kLastProbe = ~0ULL;

// A connected MQTT 3.1.1 client without keep-alive; -1 with `error` set.
int mqttConnect(uint16_t port, const std::string &clientId, std::string &error)
{
    const int fd = connectLoopback(port);
    if (fd < 0) {
        error = "cannot reach the broker on port " + std::to_string(port);
        return -1;
    }
    std::string variable;
    appendString(variable, "MQTT");
    variable += '\x04';                      // protocol level 3.1.1
    variable += '\x02';                      // clean session
    variable += std::string("\x00\x00", 2); // no keep-alive: a run lasts seconds
    appendString(variable, clientId);
    std::string connect(1, '\x10');
    appendRemainingLength(connect, variable.size());
    connect += variable;
    unsigned char ack[4];
    if (!writeAll(fd, connect.data(), connect.size()) || !readExact(fd, ack, sizeof ack, kReplyTimeoutMs) ||
        ack[0] != 0x20 || ack[3] != 0) {
        error = "the broker on port " + std::to_string(port) + " refused " + clientId;
        ::close(fd);
        return -1;
    }
    return fd;
}

class BridgeWire : public Wire {
public:
    explicit BridgeWire(const BridgeSetup &bridgeSetup) : setup(bridgeSetup) {}

    bool open(int, const std::vector<std::pair<int, int>> &, bool) override
    {
        const std::string client = "pellix-bench-" + std::to_string(getpid());
        subscriber = mqttConnect(setup.subscribePort, client + "-sub", lastError);
        if (subscriber < 0) {
            return false;
        }
        std::string body("\x00\x01", 2); // packet id 1
        appendString(body, kBridgeTopic);
        body += static_cast<char>(setup.qos);
        std::string subscribe(1, '\x82');
        appendRemainingLength(subscribe, body.size());
        subscribe += body;
        unsigned char suback[5];
        if (!writeAll(subscriber, subscribe.data(), subscribe.size()) ||
            !readExact(subscriber, suback, sizeof suback, kReplyTimeoutMs) || suback[0] != 0x90 ||
            suback[4] != setup.qos) {
            lastError = "the broker refused the subscription at QoS " + std::to_string(setup.qos);
            return false;
        }
        if (setup.hubPublisher) {
            publisher = connectLoopback(setup.publishPort);
            const std::string reply = frame(kFirstModuleId, CENTER_DEV_ID, CMD_REG);
            std::string got(reply.size(), '\0');
            if (publisher < 0 ||
                !writeText(publisher, frame(CENTER_DEV_ID, kFirstModuleId, CMD_REG, "bench-relay")) ||
                !readExact(publisher, &got[0], got.size(), kReplyTimeoutMs) || got != reply) {
                lastError = "no registration reply from the hub on port " + std::to_string(setup.publishPort);
                return false;
            }
        } else {
            publisher = mqttConnect(setup.publishPort, client + "-pub", lastError);
            if (publisher < 0) {
                return false;
            }
        }
        if (!awaitPath()) {
            return false;
        }
        if (setup.onReady) {
            setup.onReady();
        }
        return true;
    }
    void close() override
    {
        // DISCONNECT to the brokers; the sockets close next either way.
        if (publisher >= 0) {
            if (!setup.hubPublisher) {
                writeAll(publisher, "\xe0\x00", 2);
            }
            ::close(publisher);
        }
        if (subscriber >= 0) {
            writeAll(subscriber, "\xe0\x00", 2);
            ::close(subscriber);
        }
        publisher = subscriber = -1;
    }
    int sendFd(int, int) const override { return publisher; }
    void encode(std::string &out, int, int, const unsigned char *body, size_t size) override
    {
        if (setup.hubPublisher) {
            unsigned char event[2];
            EventList::eventNumber(event, kBridgeEvent);
            appendFrame(out, EVENT_MGR_DEV_ID, kFirstModuleId, CMD_PUBLISH_EVENT, event, sizeof event, body, size);
            return;
        }
        const size_t idSize = setup.qos > 0 ? 2 : 0;
        out += static_cast<char>(0x30 | (setup.qos << 1));
        appendRemainingLength(out, 2 + strlen(kBridgeTopic) + idSize + size);
        appendString(out, kBridgeTopic);
        if (idSize > 0) {
            nextId = static_cast<uint16_t>(nextId % 65535 + 1); // never 0
            out += static_cast<char>(nextId >> 8);
            out += static_cast<char>(nextId & 0xff);
        }
        out.append(reinterpret_cast<const char *>(body), size);
    }
    void encodePublish(std::string &out, int sender, const unsigned char *body, size_t size) override
    {
        encode(out, sender, 1, body, size);
    }
    // The subscriber, and an MQTT publisher for its acknowledgements (which
    // parse() passes over).
    std::vector<std::pair<int, int>> receiveFds() const override
    {
        std::vector<std::pair<int, int>> fds = {{subscriber, 1}};
        if (!setup.hubPublisher) {
            fds.emplace_back(publisher, 0);
        }
        return fds;
    }
    // Only the subscriber receives PUBLISH packets: their acknowledgements
    // go back to it from here, one write per call.
    long parse(const unsigned char *data, size_t size, std::vector<Body> &out) override
    {
        size_t pos = 0;
        std::string acks;
        while (size - pos >= 2) {
            const unsigned char *p = data + pos;
            size_t header = 0;
            size_t length = 0;
            const int whole = packetAt(p, size - pos, header, length);
            if (whole <= 0) {
                if (whole < 0) {
                    return -1;
                }
                break;
            }
            if ((p[0] & 0xf0) == 0x30) {
                const int qos = (p[0] >> 1) & 3;
                const size_t idSize = qos > 0 ? 2 : 0;
                if (qos > 1 || length < 2 + idSize) {
                    return -1;
                }
                const size_t topicSize = static_cast<size_t>((p[header] << 8) | p[header + 1]);
                if (2 + topicSize + idSize > length) {
                    return -1;
                }
                const unsigned char *id = p + header + 2 + topicSize;
                if (qos == 1) {
                    acks += std::string("\x40\x02", 2);
                    acks += static_cast<char>(id[0]);
                    acks += static_cast<char>(id[1]);
                }
                out.push_back(Body{id + idSize, length - 2 - topicSize - idSize});
            }
            pos += header + length;
        }
        if (!acks.empty() && !writeText(subscriber, acks)) {
            lastError = "cannot acknowledge to the broker";
            return -1;
        }
        return static_cast<long>(pos);
    }
    int keepAliveFd(int module) const override { return module == 0 && setup.hubPublisher ? publisher : -1; }
    void appendKeepAlive(std::string &out, int) const override
    {
        appendFrame(out, CENTER_DEV_ID, kFirstModuleId, CMD_HEART, nullptr, 0, nullptr, 0);
    }

private:
    bool sendProbe(uint64_t mark)
    {
        unsigned char body[16] = {};
        memcpy(body, &mark, sizeof mark);
        std::string out;
        encode(out, 0, 1, body, sizeof body);
        return writeText(publisher, out);
    }
    // Probes every 100 ms until one arrives, then a last one: once that is
    // back nothing of the probing is left on the way.
    bool awaitPath()
    {
        const int64_t deadline = nowNs() + static_cast<int64_t>(setup.readyTimeoutMs) * 1000000LL;
        std::string buffer;
        std::vector<Body> bodies;
        uint64_t probes = 0;
        bool arrived = false;
        bool last = false;
        while (!last) {
            if (!arrived && !sendProbe(kProbeMark + probes++)) {
                lastError = "cannot publish a probe";
                return false;
            }
            const int64_t waitUntil = nowNs() + 100000000LL;
            while (nowNs() < waitUntil && !last) {
                unsigned char chunk[4096];
                struct pollfd p = {subscriber, POLLIN, 0};
                const int ready = poll(&p, 1, 20);
                if (ready < 0 && errno != EINTR) {
                    lastError = "poll failed while probing";
                    return false;
                }
                if (ready <= 0) {
                    continue;
                }
                const ssize_t n = read(subscriber, chunk, sizeof chunk);
                if (n <= 0) {
                    if (n < 0 && errno == EINTR) {
                        continue;
                    }
                    lastError = "the broker closed the subscriber while probing";
                    return false;
                }
                buffer.append(reinterpret_cast<const char *>(chunk), static_cast<size_t>(n));
                bodies.clear();
                const long used = parse(reinterpret_cast<const unsigned char *>(buffer.data()), buffer.size(), bodies);
                if (used < 0) {
                    lastError = "malformed stream while probing";
                    return false;
                }
                for (const Body &body : bodies) {
                    uint64_t mark = 0;
                    if (body.size >= sizeof mark) {
                        memcpy(&mark, body.data, sizeof mark);
                    }
                    last = last || mark == kLastProbe;
                    if (!arrived && mark >= kProbeMark) {
                        arrived = true;
                        if (!sendProbe(kLastProbe)) {
                            lastError = "cannot publish a probe";
                            return false;
                        }
                    }
                }
                buffer.erase(0, static_cast<size_t>(used));
            }
            if (nowNs() > deadline) {
                lastError = arrived ? "the last probe did not come through" : "no probe came through the bridge";
                return false;
            }
        }
        return true;
    }

    BridgeSetup setup;
    int publisher = -1;
    int subscriber = -1;
    uint16_t nextId = 0;
};

} // namespace

const int kBridgeEvent = 100;
const char kBridgeTopic[] = "bench/relay";

Wire::~Wire() = default;

int pellixFrameAt(const unsigned char *data, size_t size, size_t &total)
{
    if (size < static_cast<size_t>(PacketFrame::kMinFrameSize)) {
        return 0;
    }
    if (memcmp(data, PacketFrame::kStartMark, PacketFrame::kStartMarkSize) != 0) {
        return -1;
    }
    int claimed = 0;
    PacketFrame::readU16LE(data, static_cast<int>(size), PacketFrame::kLenOffset, claimed);
    const size_t len = static_cast<size_t>(claimed);
    if (len < static_cast<size_t>(PacketFrame::kHeaderSize)) {
        return -1;
    }
    total = len + PacketFrame::kMinFrameSize - PacketFrame::kHeaderSize;
    if (size < total) {
        return 0;
    }
    return memcmp(data + total - PacketFrame::kEndMarkSize, PacketFrame::kEndMark, PacketFrame::kEndMarkSize) == 0
               ? 1
               : -1;
}

std::unique_ptr<Wire> makeBridgeWire(const BridgeSetup &setup)
{
    return std::unique_ptr<Wire>(new BridgeWire(setup));
}

std::unique_ptr<Wire> makeWire(Target target, uint16_t port)
{
    switch (target) {
    case Target::Floor:
        return std::unique_ptr<Wire>(new FloorWire());
    case Target::Relay:
        return std::unique_ptr<Wire>(new FloorWire(port));
    case Target::Pellix:
        return std::unique_ptr<Wire>(new PellixWire(port));
    case Target::Mqtt:
        return std::unique_ptr<Wire>(new MqttWire(port));
    }
    return nullptr;
}

const char *targetName(Target target)
{
    switch (target) {
    case Target::Floor:
        return "floor";
    case Target::Relay:
        return "relay";
    case Target::Pellix:
        return "pellix";
    case Target::Mqtt:
        return "mqtt";
    }
    return "?";
}

} // namespace bench
