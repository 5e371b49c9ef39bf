#pragma once
// An MQTT client inside the test: subscribes, publishes and keeps every
// message it receives, on libmosquitto's own thread.

#include <mosquitto.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace bridgetest {

struct Received {
    std::string topic;
    std::string payload;
    bool retain;
};

class MqttProbe {
public:
    // cleanSession false keeps the session (and QoS 1 messages for it) on
    // the broker while the probe is away.
    MqttProbe(const std::string &clientId, bool cleanSession = true);
    ~MqttProbe();
    MqttProbe(const MqttProbe &) = delete;
    MqttProbe &operator=(const MqttProbe &) = delete;

    // Connects, subscribes (QoS 1) and waits for the SUBACK.
    bool connect(uint16_t port, const std::string &filter);
    void disconnect();
    bool publish(const std::string &topic, const std::string &payload, int qos = 1, bool retain = false);

    std::vector<Received> received();
    // Messages on `topic`, in order.
    std::vector<std::string> payloadsOn(const std::string &topic);
    bool waitForCount(const std::string &topic, size_t count, int timeoutMs = 5000);

private:
    static void onMessage(struct mosquitto *, void *self, const struct mosquitto_message *m);
    static void onSubscribe(struct mosquitto *, void *self, int, int, const int *);

    struct mosquitto *mosq;
    std::mutex lock;
    std::vector<Received> messages;
    bool subscribed = false;
    bool looping = false;
};

} // namespace bridgetest
