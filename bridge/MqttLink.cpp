#include "bridge/MqttLink.h"

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include <mqtt_protocol.h>

namespace bridge {

namespace {

const char kOffline[] = "offline";

std::string errorText(int rc)
{
    return rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc);
}

} // namespace

MqttLink::MqttLink(const BrokerSettings &s, const std::string &will, uint32_t most, Callbacks c)
    : settings(s), willTopic(will), maxPacket(most), callbacks(std::move(c)), mosq(nullptr, &mosquitto_destroy)
{
    mosquitto_lib_init();
}

MqttLink::~MqttLink()
{
    release();
    mosquitto_lib_cleanup();
}

void MqttLink::release()
{
    mosq.reset();
    current = Idle;
    failed = false;
    justUp = false;
}

bool MqttLink::start(std::string &why)
{
    release();
    mosq.reset(mosquitto_new(settings.clientId.c_str(), true, this));
    if (!mosq) {
        why = std::string("cannot create the MQTT client: ") + strerror(errno);
        return false;
    }
    struct mosquitto *m = mosq.get();
    int rc = mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION,
                                  settings.mqttVersion == 5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    if (rc == MOSQ_ERR_SUCCESS) {
        // Messages go out one by one as they come: Nagle's delay would hold
        // each small write back for the previous one's acknowledgement.
        rc = mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
    }
    if (rc == MOSQ_ERR_SUCCESS && !settings.username.empty()) {
        rc = mosquitto_username_pw_set(m, settings.username.c_str(),
                                       settings.hasPassword ? settings.password.c_str() : nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_will_set(m, willTopic.c_str(), static_cast<int>(strlen(kOffline)), kOffline, 1, true);
    }
    if (rc == MOSQ_ERR_SUCCESS && !settings.cafile.empty()) {
        rc = mosquitto_tls_set(m, settings.cafile.c_str(), nullptr,
                               settings.certfile.empty() ? nullptr : settings.certfile.c_str(),
                               settings.keyfile.empty() ? nullptr : settings.keyfile.c_str(), nullptr);
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_tls_insecure_set(m, settings.insecure);
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        why = "cannot set up the MQTT client: " + errorText(rc);
        release();
        return false;
    }
    mosquitto_connect_callback_set(m, &MqttLink::onConnect);
    mosquitto_disconnect_callback_set(m, &MqttLink::onDisconnect);
    mosquitto_publish_callback_set(m, &MqttLink::onPublish);
    mosquitto_message_callback_set(m, &MqttLink::onMessage);
    // Non-blocking: a broker that does not answer cannot hold up the hub's
    // side (the name lookup still blocks).
    rc = connectAsync(m);
    if (rc != MOSQ_ERR_SUCCESS) {
        why = "cannot connect to " + settings.host + ":" + std::to_string(settings.port) + ": " + errorText(rc);
        release();
        return false;
    }
    const int fd = mosquitto_socket(m);
    if (fd >= 0) {
        // libmosquitto does not open its socket close-on-exec.
        const int flags = fcntl(fd, F_GETFD);
        if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0) {
            why = std::string("cannot make the broker socket close-on-exec: ") + strerror(errno);
            release();
            return false;
        }
    }
    current = Connecting;
    return true;
}

int MqttLink::connectAsync(struct mosquitto *m)
{
    if (settings.mqttVersion == 5) {
        // The largest packet we take: an MQTT 5 broker never sends more.
        // libmosquitto itself would read any packet whole into memory,
        // whatever size it announced.
        //
        // libmosquitto 2.0 takes CONNECT properties only in its blocking
        // connect, which would hold the loop as long as a silent broker takes
        // to time out. That call keeps them on the client for every later
        // CONNECT before it checks its arguments: given port -1 it keeps them
        // and refuses at once, and the non-blocking connect below sends them
        // (BridgeOversize.MessageStaysOnTheBroker fails otherwise).
        mosquitto_property *properties = nullptr;
        int rc = mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, maxPacket);
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_connect_bind_v5(m, settings.host.c_str(), -1, settings.keepalive, nullptr, properties);
        }
        mosquitto_property_free_all(&properties);
        if (rc != MOSQ_ERR_INVAL) {
            return rc == MOSQ_ERR_SUCCESS ? MOSQ_ERR_UNKNOWN : rc; // port -1 never connects
        }
    }
    return mosquitto_connect_async(m, settings.host.c_str(), settings.port, settings.keepalive);
}

void MqttLink::stop(bool clean)
{
    if (mosq && clean && current == Up) {
        mosquitto_disconnect(mosq.get());
        flush(500);
    }
    release();
}

int MqttLink::socket() const
{
    return mosq ? mosquitto_socket(mosq.get()) : -1;
}

bool MqttLink::wantWrite() const
{
    return mosq && mosquitto_want_write(mosq.get());
}

void MqttLink::fail(const std::string &why)
{
    if (!failed) {
        failed = true;
        failure = why;
    }
}

void MqttLink::serve(bool readable, bool writable)
{
    if (!mosq) {
        return;
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (readable) {
        rc = mosquitto_loop_read(mosq.get(), 1);
    }
    if (rc == MOSQ_ERR_SUCCESS && (writable || mosquitto_want_write(mosq.get()))) {
        rc = mosquitto_loop_write(mosq.get(), 1);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_loop_misc(mosq.get());
    }
    // EAGAIN from a read that raced with nothing to read is no loss.
    if (rc != MOSQ_ERR_SUCCESS && !(rc == MOSQ_ERR_ERRNO && (errno == EAGAIN || errno == EWOULDBLOCK))) {
        fail(errorText(rc));
    }
    if (failed) {
        const std::string why = failure;
        release();
        if (callbacks.lost) {
            callbacks.lost(why);
        }
        return;
    }
    if (justUp) {
        justUp = false;
        if (callbacks.connected) {
            callbacks.connected();
        }
    }
}

void MqttLink::flush(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (mosq && mosquitto_want_write(mosq.get()) && std::chrono::steady_clock::now() < deadline) {
        if (mosquitto_loop(mosq.get(), 50, 1) != MOSQ_ERR_SUCCESS) {
            break;
        }
    }
}

int MqttLink::publish(const std::string &topic, const void *payload, size_t size, int qos, bool retain, int *mid)
{
    if (!mosq || current != Up) {
        return MOSQ_ERR_NO_CONN;
    }
    return mosquitto_publish(mosq.get(), mid, topic.c_str(), static_cast<int>(size), payload, qos, retain);
}

int MqttLink::subscribe(const std::string &filter, int qos)
{
    if (!mosq || current != Up) {
        return MOSQ_ERR_NO_CONN;
    }
    // MQTT 5 can tell the broker not to send our own publications back;
    // with 3.1.1 the bridge recognises them itself (EchoFilter).
    if (settings.mqttVersion == 5) {
        return mosquitto_subscribe_v5(mosq.get(), nullptr, filter.c_str(), qos, MQTT_SUB_OPT_NO_LOCAL, nullptr);
    }
    return mosquitto_subscribe(mosq.get(), nullptr, filter.c_str(), qos);
}

void MqttLink::onConnect(struct mosquitto *, void *self, int rc)
{
    MqttLink *link = static_cast<MqttLink *>(self);
    if (rc != 0) {
        link->fail(std::string("the broker refused the connection: ") + mosquitto_connack_string(rc));
        return;
    }
    link->current = Up;
    link->justUp = true;
}

void MqttLink::onDisconnect(struct mosquitto *, void *self, int rc)
{
    static_cast<MqttLink *>(self)->fail(rc == 0 ? "disconnected" : "connection lost");
}

void MqttLink::onPublish(struct mosquitto *, void *self, int mid)
{
    MqttLink *link = static_cast<MqttLink *>(self);
    if (link->callbacks.acknowledged) {
        link->callbacks.acknowledged(mid);
    }
}

void MqttLink::onMessage(struct mosquitto *, void *self, const struct mosquitto_message *message)
{
    MqttLink *link = static_cast<MqttLink *>(self);
    if (message != nullptr && link->callbacks.message) {
        link->callbacks.message(*message);
    }
}

} // namespace bridge
