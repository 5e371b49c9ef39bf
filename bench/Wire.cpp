#include "bench/Wire.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "bench/BenchIo.h"
#include "hub/PacketFrame.h"

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
    PacketFrame::eventList(list, std::vector<int>{event}, 0, 1);
    return list;
}

// Frames as the hub sends them: a forwarded frame's body is its payload, an
// event delivery's body follows the 2-byte event number.
long parseFrames(const unsigned char *data, size_t size, std::vector<Body> &out)
{
    size_t pos = 0;
    while (size - pos >= static_cast<size_t>(PacketFrame::kMinFrameSize)) {
        const unsigned char *p = data + pos;
        if (memcmp(p, PacketFrame::kStartMark, PacketFrame::kStartMarkSize) != 0) {
            return -1;
        }
        const size_t len = static_cast<size_t>(p[PacketFrame::kLenOffset] | (p[PacketFrame::kLenOffset + 1] << 8));
        if (len < static_cast<size_t>(PacketFrame::kHeaderSize)) {
            return -1;
        }
        const size_t total = len + PacketFrame::kMinFrameSize - PacketFrame::kHeaderSize;
        if (size - pos < total) {
            break;
        }
        if (memcmp(p + total - PacketFrame::kEndMarkSize, PacketFrame::kEndMark, PacketFrame::kEndMarkSize) != 0) {
            return -1;
        }
        const int cmd = p[PacketFrame::kCmdOffset] | (p[PacketFrame::kCmdOffset + 1] << 8);
        const unsigned char *payload = p + PacketFrame::kPayloadOffset;
        size_t payloadSize = len - PacketFrame::kHeaderSize;
        if (cmd == CMD_PUBLISH_EVENT && p[PacketFrame::kSrcIdOffset] == EVENT_MGR_DEV_ID) {
            if (payloadSize < 2) {
                return -1;
            }
            payload += 2;
            payloadSize -= 2;
        }
        out.push_back(Body{payload, payloadSize});
        pos += total;
    }
    return static_cast<long>(pos);
}

// ---- the floor ----------------------------------------------------------

class FloorWire : public Wire {
public:
    bool open(int modules, const std::vector<std::pair<int, int>> &routes, bool fanOut) override
    {
        uint16_t port = 0;
        const int listener = listenLoopback(port);
        if (listener < 0) {
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
            link.out = connectLoopback(port);
            link.in = link.out < 0 ? -1 : accept(listener, nullptr, nullptr);
            if (link.out < 0 || link.in < 0) {
                lastError = "cannot connect a loopback route";
                ::close(listener);
                return false;
            }
            links.push_back(link);
        }
        ::close(listener);
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
        PacketFrame::eventNumber(event, kFanOutEvent);
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
            size_t length = 0;
            size_t header = 1;
            int shift = 0;
            bool complete = false;
            while (header < size - pos && header <= 4) {
                const unsigned char byte = p[header++];
                length |= static_cast<size_t>(byte & 0x7f) << shift;
                shift += 7;
                if ((byte & 0x80) == 0) {
                    complete = true;
                    break;
                }
            }
            if (!complete) {
                if (header > 4) {
                    return -1;
                }
                break;
            }
            if (size - pos < header + length) {
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

} // namespace

Wire::~Wire() = default;

std::unique_ptr<Wire> makeWire(Target target, uint16_t port)
{
    switch (target) {
    case Target::Floor:
        return std::unique_ptr<Wire>(new FloorWire());
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
    case Target::Pellix:
        return "pellix";
    case Target::Mqtt:
        return "mqtt";
    }
    return "?";
}

} // namespace bench
