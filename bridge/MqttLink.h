#pragma once
// One connection to the broker, driven from the bridge's own loop.
//
// Every attempt gets a fresh libmosquitto object (so nothing of a lost
// connection is sent again behind the bridge's back: the bridge's queue
// alone decides what is resent) and a non-blocking connect. The owner polls
// socket() for reading, and for writing while wantWrite(), and calls
// serve() after every poll. libmosquitto calls back into this object only
// inside serve() and publish(); a lost connection is only noted there and
// the object is destroyed by the next serve() or start(), never inside one
// of libmosquitto's own callbacks.

#include <mosquitto.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "bridge/BridgeConfig.h"

namespace bridge {

class MqttLink {
public:
    enum State { Idle, Connecting, Up };

    struct Callbacks {
        std::function<void()> connected;
        std::function<void(const std::string &why)> lost; // also a failed attempt
        std::function<void(int mid)> acknowledged;      // QoS 1 PUBACK
        std::function<void(const mosquitto_message &message)> message;
    };

    // With MQTT 5 the broker is told never to send a packet larger than
    // `maxPacket` bytes.
    MqttLink(const BrokerSettings &settings, const std::string &willTopic, uint32_t maxPacket, Callbacks callbacks);
    ~MqttLink();
    MqttLink(const MqttLink &) = delete;
    MqttLink &operator=(const MqttLink &) = delete;

    // Starts one attempt; false (with `why`) when it failed at once.
    bool start(std::string &why);
    // Drops the connection, saying goodbye first when `clean` (the broker
    // then keeps the will to itself; the caller publishes "offline").
    void stop(bool clean);

    State state() const { return current; }
    int socket() const;
    bool wantWrite() const;
    // Reads when `readable`, writes when `writable`, and keeps the
    // connection alive; reports a loss through the callback.
    void serve(bool readable, bool writable);
    // Writes what libmosquitto holds until it is sent or `timeoutMs` passes
    // (for the goodbye on the way out).
    void flush(int timeoutMs);

    // MOSQ_ERR_SUCCESS, or libmosquitto's error; `mid` is the message id.
    int publish(const std::string &topic, const void *payload, size_t size, int qos, bool retain, int *mid);
    int subscribe(const std::string &filter, int qos);

private:
    static void onConnect(struct mosquitto *, void *self, int rc);
    static void onDisconnect(struct mosquitto *, void *self, int rc);
    static void onPublish(struct mosquitto *, void *self, int mid);
    static void onMessage(struct mosquitto *, void *self, const struct mosquitto_message *message);
    int connectAsync(struct mosquitto *m);
    void fail(const std::string &why);
    void release();

    const BrokerSettings &settings;
    std::string willTopic;
    uint32_t maxPacket;
    Callbacks callbacks;
    std::unique_ptr<struct mosquitto, void (*)(struct mosquitto *)> mosq;
    State current = Idle;
    bool failed = false;     // lost inside a callback: released by serve()
    bool justUp = false;     // CONNACK seen inside a callback: reported by serve()
    std::string failure;
};

} // namespace bridge
