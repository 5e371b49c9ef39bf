#include "tests/bridge/MqttProbe.h"

#include <fcntl.h>

#include "tests/bridge/BridgeProcess.h"

namespace bridgetest {

MqttProbe::MqttProbe(const std::string &clientId, bool cleanSession)
{
    mosquitto_lib_init();
    mosq = mosquitto_new(clientId.c_str(), cleanSession, this);
    mosquitto_message_callback_set(mosq, &MqttProbe::onMessage);
    mosquitto_subscribe_callback_set(mosq, &MqttProbe::onSubscribe);
}

MqttProbe::~MqttProbe()
{
    disconnect();
    mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
}

bool MqttProbe::connect(uint16_t port, const std::string &filter)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        subscribed = false;
    }
    if (mosquitto_connect(mosq, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) {
        return false;
    }
    // Children started later (the broker, the bridge) must not inherit it.
    fcntl(mosquitto_socket(mosq), F_SETFD, FD_CLOEXEC);
    if (mosquitto_subscribe(mosq, nullptr, filter.c_str(), 1) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(mosq) != MOSQ_ERR_SUCCESS) {
        return false;
    }
    looping = true;
    return eventually(5000, [this] {
        std::lock_guard<std::mutex> guard(lock);
        return subscribed;
    });
}

void MqttProbe::disconnect()
{
    if (looping) {
        mosquitto_disconnect(mosq);
        mosquitto_loop_stop(mosq, false);
        looping = false;
    }
}

bool MqttProbe::publish(const std::string &topic, const std::string &payload, int qos, bool retain)
{
    return mosquitto_publish(mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                             retain) == MOSQ_ERR_SUCCESS;
}

std::vector<Received> MqttProbe::received()
{
    std::lock_guard<std::mutex> guard(lock);
    return messages;
}

std::vector<std::string> MqttProbe::payloadsOn(const std::string &topic)
{
    std::vector<std::string> out;
    for (const Received &r : received()) {
        if (r.topic == topic) {
            out.push_back(r.payload);
        }
    }
    return out;
}

bool MqttProbe::waitForCount(const std::string &topic, size_t count, int timeoutMs)
{
    return eventually(timeoutMs, [&] { return payloadsOn(topic).size() >= count; });
}

void MqttProbe::onMessage(struct mosquitto *, void *self, const struct mosquitto_message *m)
{
    MqttProbe *probe = static_cast<MqttProbe *>(self);
    std::lock_guard<std::mutex> guard(probe->lock);
    probe->messages.push_back(
        Received{m->topic, std::string(static_cast<const char *>(m->payload), static_cast<size_t>(m->payloadlen)),
                 m->retain});
}

void MqttProbe::onSubscribe(struct mosquitto *, void *self, int, int, const int *)
{
    MqttProbe *probe = static_cast<MqttProbe *>(self);
    std::lock_guard<std::mutex> guard(probe->lock);
    probe->subscribed = true;
}

} // namespace bridgetest
