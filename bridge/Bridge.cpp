#include "bridge/Bridge.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>

#include "bridge/BridgeLog.h"
#include "bridge/TopicRules.h"
#include "cli/OpenMetrics.h"
#include "cli/StatusDocument.h"

namespace bridge {

namespace {

// Messages handed to libmosquitto and not yet acknowledged, at most.
const size_t kWindow = 32;
const int kPassMs = 100;               // both sides' timers want serving this often
const int64_t kConnectTimeoutMs = 15000;
const int64_t kSaveEveryMs = 2000;
const int64_t kReportEveryMs = 1000;
const int64_t kRefusalLogEveryMs = 10000;
// The hub is local and answers at once; the wait holds the broker side.
const int kMetricsStatusTimeoutMs = 1000;
const size_t kEchoEntries = 4096;
const int64_t kEchoAgeMs = 30000;
const char kOnline[] = "online";
const char kOffline[] = "offline";

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

pellix::ClientOptions hubOptions(const HubSettings &h)
{
    pellix::ClientOptions o;
    if (h.useUnix) {
        o.transport = pellix::Transport::Unix;
        o.unixPath = h.unixPath;
    } else {
        o.host = h.host;
        o.port = h.port;
    }
    o.moduleId = h.moduleId;
    o.name = h.name;
    return o;
}

} // namespace

Bridge::Bridge(const BridgeConfig &c)
    : config(c), hub(new pellix::CPellixClient(hubOptions(c.hub))),
      queue(c.queue.maxMessages, c.queue.maxBytes), hubEchoes(kEchoEntries, kEchoAgeMs),
      brokerEchoes(kEchoEntries, kEchoAgeMs), hubBackoff(1000, 5000), brokerBackoff(1000, 30000)
{
    std::set<int> events;
    for (const OutMapping &m : config.out) {
        events.insert(m.events.begin(), m.events.end());
    }
    outEvents.assign(events.begin(), events.end());

    MqttLink::Callbacks callbacks;
    callbacks.connected = [this] { onBrokerUp(); };
    callbacks.lost = [this](const std::string &why) { onBrokerLost(why); };
    callbacks.acknowledged = [this](int mid) { onBrokerAck(mid); };
    callbacks.message = [this](const mosquitto_message &m) { onBrokerMessage(m); };
    link.reset(new MqttLink(config.broker, config.stateTopic(), config.maxPacketSize(), callbacks));

    hub->setEventCallback([this](int event, const uint8_t *data, size_t size) { onHubEvent(event, data, size); });
    hub->setDepartureCallback([](int) {});
    hub->setConnectionCallback([this](bool up) { onHubConnection(up); });
    if (!outEvents.empty()) {
        hub->subscribe(outEvents); // remembered until connect(), and sent again after every reconnect
    }
    if (!config.queue.file.empty()) {
        queueFile.reset(new QueueFile(config.queue.file));
        restoreQueue();
    }
}

Bridge::~Bridge() = default;

void Bridge::restoreQueue()
{
    std::vector<OutboundMessage> saved;
    std::string error;
    if (!queueFile->load(config.queue.maxMessages, config.queue.maxBytes, saved, error)) {
        BridgeLog::write(BridgeLog::Warning, "saved queue not used: " + error);
        return;
    }
    size_t taken = 0;
    for (OutboundMessage &m : saved) {
        if (TopicRules::validTopic(m.topic) && queue.push(std::move(m))) {
            ++taken;
        }
    }
    if (taken > 0) {
        BridgeLog::write(BridgeLog::Info, std::to_string(taken) + " queued messages restored from " + queueFile->path());
    }
}

const BridgeStats &Bridge::stats()
{
    counters.queued = queue.size();
    counters.dropped = queue.dropped() + badMessages;
    return counters;
}

std::string Bridge::statusLine()
{
    const BridgeStats &s = stats();
    return std::string("hub ") + (hubStarted && hub->isConnected() ? "up" : "down") + ", broker " +
           (link->state() == MqttLink::Up ? "up" : "down") + ", sent: " + std::to_string(s.sent) +
           ", received: " + std::to_string(s.received) + ", queued: " + std::to_string(s.queued);
}

int Bridge::run(volatile sig_atomic_t &stop, volatile sig_atomic_t &report)
{
    int status = 0;
    while (!stop) {
        int64_t now = nowMs();
        tryHub(now);
        tryBroker(now);
        if (passHook) {
            passHook();
        }

        struct pollfd fds[2];
        nfds_t count = 0;
        const int hubFd = hubStarted ? hub->fd() : -1;
        if (hubFd >= 0) {
            fds[count++] = {hubFd, POLLIN, 0};
        }
        const int brokerFd = link->socket();
        int brokerSlot = -1;
        if (brokerFd >= 0) {
            brokerSlot = static_cast<int>(count);
            fds[count++] = {brokerFd, static_cast<short>(POLLIN | (link->wantWrite() ? POLLOUT : 0)), 0};
        }
        int timeout = kPassMs;
        for (int64_t due : {nextHubAttempt, nextBrokerAttempt}) {
            if (due > now && due - now < timeout) {
                timeout = static_cast<int>(due - now);
            }
        }
        if (::poll(fds, count, timeout) < 0 && errno != EINTR) {
            BridgeLog::write(BridgeLog::Error, std::string("poll failed: ") + strerror(errno));
            status = 1;
            break;
        }
        if (hubStarted && hub->poll(0) < 0) {
            BridgeLog::write(BridgeLog::Error, "serving the hub connection failed");
            status = 1;
            break;
        }
        bool readable = false;
        bool writable = false;
        if (brokerSlot >= 0) {
            readable = (fds[brokerSlot].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
            writable = (fds[brokerSlot].revents & POLLOUT) != 0;
        }
        link->serve(readable, writable);
        pump();
        now = nowMs();
        if (report) {
            report = 0;
            BridgeLog::write(BridgeLog::Info, "counters " + stats().line());
        }
        saveQueue(now, false);
        reportToHub(now);
        publishMetrics(now);
    }
    finish();
    return status;
}

void Bridge::tryHub(int64_t now)
{
    if (hubStarted || now < nextHubAttempt) {
        return;
    }
    const pellix::Result r = hub->connect();
    if (r) {
        hubStarted = true;
        hubBackoff.reset();
        BridgeLog::write(BridgeLog::Info, "registered with the hub as module " + std::to_string(config.hub.moduleId));
        publishStateEvent(link->state() == MqttLink::Up);
        return;
    }
    const int64_t delay = hubBackoff.next();
    nextHubAttempt = nowMs() + delay;
    BridgeLog::write(BridgeLog::Warning, r.message() + "; trying again in " + std::to_string(delay) + " ms");
}

void Bridge::tryBroker(int64_t now)
{
    if (link->state() == MqttLink::Connecting && now - brokerAttemptAt > kConnectTimeoutMs) {
        link->stop(false);
        onBrokerLost("no answer within " + std::to_string(kConnectTimeoutMs / 1000) + " s");
        return;
    }
    if (link->state() != MqttLink::Idle || now < nextBrokerAttempt) {
        return;
    }
    std::string why;
    brokerAttemptAt = now;
    if (!link->start(why)) {
        onBrokerLost(why);
    }
}

void Bridge::onHubConnection(bool up)
{
    if (up) {
        BridgeLog::write(BridgeLog::Info, "hub connection back, registered and subscribed again");
        lastReport.clear();
        publishStateEvent(link->state() == MqttLink::Up);
    } else {
        BridgeLog::write(BridgeLog::Warning, "hub connection lost, reconnecting");
        // Our publications that the hub had not yet returned are gone with it.
        hubEchoes.clear();
    }
}

void Bridge::onHubEvent(int event, const uint8_t *data, size_t size)
{
    if (hubEchoes.isEcho(eventKey(event), data, size, nowMs())) {
        ++counters.echoes;
        return;
    }
    for (const OutMapping &m : config.out) {
        if (!std::binary_search(m.events.begin(), m.events.end(), event)) {
            continue;
        }
        OutboundMessage message;
        message.topic = TopicRules::expandEvent(m.topic, event);
        message.payload.assign(reinterpret_cast<const char *>(data), size);
        message.qos = m.qos;
        message.retain = m.retain;
        queue.push(std::move(message)); // a drop is counted by the queue
    }
}

void Bridge::onBrokerUp()
{
    brokerBackoff.reset();
    if (brokerEverUp) {
        ++counters.reconnects;
    }
    brokerEverUp = true;
    brokerWasUp = true;
    BridgeLog::write(BridgeLog::Info, "broker link up (" + config.broker.host + ":" +
                                          std::to_string(config.broker.port) + "), " +
                                          std::to_string(queue.size()) + " messages queued");
    for (const InMapping &m : config.in) {
        const int rc = link->subscribe(m.filter, m.qos);
        if (rc != MOSQ_ERR_SUCCESS) {
            BridgeLog::write(BridgeLog::Error, "cannot subscribe to " + m.filter + ": " + mosquitto_strerror(rc));
        }
    }
    int mid = 0;
    link->publish(config.stateTopic(), kOnline, strlen(kOnline), 1, true, &mid);
    publishStateEvent(true);
    pump();
}

void Bridge::onBrokerLost(const std::string &why)
{
    queue.requeueInFlight();
    inFlight.clear();
    brokerEchoes.clear();
    const int64_t delay = brokerBackoff.next();
    nextBrokerAttempt = nowMs() + delay;
    BridgeLog::write(BridgeLog::Warning, "broker link " + std::string(brokerWasUp ? "down" : "not made") + ": " + why +
                                             "; " + std::to_string(queue.size()) + " messages queued; next attempt in " +
                                             std::to_string(delay) + " ms");
    if (brokerWasUp) {
        brokerWasUp = false;
        publishStateEvent(false);
    }
}

void Bridge::onBrokerAck(int mid)
{
    const auto it = inFlight.find(mid);
    if (it == inFlight.end()) {
        return; // QoS 0 written, or the state message
    }
    queue.done(it->second);
    inFlight.erase(it);
    ++counters.sent;
}

bool Bridge::underInFilter(const std::string &topic) const
{
    for (const InMapping &m : config.in) {
        if (TopicRules::matches(m.filter, topic)) {
            return true;
        }
    }
    return false;
}

void Bridge::pump()
{
    while (link->state() == MqttLink::Up && queue.inFlight() < kWindow && !link->wantWrite()) {
        OutboundMessage *m = queue.nextWaiting();
        if (m == nullptr) {
            return;
        }
        int mid = 0;
        const int rc = link->publish(m->topic, m->payload.data(), m->payload.size(), m->qos, m->retain, &mid);
        if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NOMEM) {
            return; // stays queued
        }
        if (config.broker.mqttVersion == 4 && underInFilter(m->topic)) {
            brokerEchoes.remember(m->topic, m->payload.data(), m->payload.size(), nowMs());
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            // The broker can never take it (a topic or size libmosquitto
            // refuses): dropped, so that it does not block the rest.
            if (badMessages++ == 0) {
                BridgeLog::write(BridgeLog::Error, "message to " + m->topic + " refused: " + mosquitto_strerror(rc));
            }
            queue.done(m->serial);
            continue;
        }
        if (m->qos == 1) {
            inFlight[mid] = m->serial;
        } else {
            ++counters.sent;
        }
        queue.handed(m);
    }
}

void Bridge::onBrokerMessage(const mosquitto_message &message)
{
    if (message.topic == nullptr || message.payloadlen < 0) {
        return;
    }
    const std::string topic(message.topic);
    if (topic == config.stateTopic()) {
        return; // our own state, also when retained from an earlier run
    }
    if (config.broker.mqttVersion == 4 &&
        brokerEchoes.isEcho(topic, message.payload, static_cast<size_t>(message.payloadlen), nowMs())) {
        ++counters.echoes;
        return;
    }
    for (const InMapping &m : config.in) {
        if (TopicRules::matches(m.filter, topic)) {
            deliver(m, message);
        }
    }
}

void Bridge::deliver(const InMapping &m, const mosquitto_message &message)
{
    const size_t size = static_cast<size_t>(message.payloadlen);
    const size_t limit = m.toEvent ? pellix::kMaxEventData : pellix::kMaxPayload;
    if (size > limit) {
        ++counters.refused;
        const int64_t now = nowMs();
        if (now - lastRefusalLog >= kRefusalLogEveryMs) {
            lastRefusalLog = now;
            BridgeLog::write(BridgeLog::Warning, "message on " + std::string(message.topic) + " refused: " +
                                                     std::to_string(size) + " bytes do not fit a frame (at most " +
                                                     std::to_string(limit) + "); " +
                                                     std::to_string(counters.refused) + " refused so far");
        }
        return;
    }
    if (!hubStarted || !hub->isRegistered()) {
        ++counters.undelivered;
        return;
    }
    pellix::Result r;
    if (m.toEvent) {
        // Remembered before it goes: the hub returns it to us if we bridge that event out too.
        const bool comesBack = std::binary_search(outEvents.begin(), outEvents.end(), m.event);
        if (comesBack) {
            hubEchoes.remember(eventKey(m.event), message.payload, size, nowMs());
        }
        r = hub->publish(m.event, message.payload, size);
    } else {
        r = hub->send(m.module, m.command, message.payload, size);
    }
    if (r) {
        ++counters.received;
    } else {
        ++counters.undelivered;
    }
}

void Bridge::publishStateEvent(bool online)
{
    if (config.stateEvent == 0 || !hubStarted || !hub->isRegistered()) {
        return;
    }
    const char *state = online ? kOnline : kOffline;
    if (std::binary_search(outEvents.begin(), outEvents.end(), config.stateEvent)) {
        hubEchoes.remember(eventKey(config.stateEvent), state, strlen(state), nowMs());
    }
    hub->publish(config.stateEvent, state, strlen(state));
}

void Bridge::saveQueue(int64_t now, bool force)
{
    if (!queueFile || !queue.changed()) {
        return;
    }
    // While the broker takes everything, the file would only be rewritten
    // for nothing: it is written while messages wait, once the queue is
    // empty again, and on the way out.
    const bool worth = force || link->state() != MqttLink::Up || queue.size() == 0;
    if (!worth || (!force && now - lastSave < kSaveEveryMs)) {
        return;
    }
    lastSave = now;
    std::string error;
    if (queueFile->save(queue, error)) {
        queue.clearChanged();
    } else {
        BridgeLog::write(BridgeLog::Error, "queue not saved: " + error);
    }
}

// The counters reach the hub's status when they changed, at most once a
// second, and again after each connection to the hub.
void Bridge::reportToHub(int64_t now)
{
    if (!hubStarted || !hub->isRegistered() || now - lastReportAt < kReportEveryMs) {
        return;
    }
    std::string text = stats().json(link->state() == MqttLink::Up);
    if (text != lastReport && hub->report(text)) {
        lastReport.swap(text);
        lastReportAt = now;
    }
}

// The hub's status as OpenMetrics text, queued for the broker at each
// interval while both links are up (nothing piles up for a broker that is
// away: a later text replaces it anyway).
void Bridge::publishMetrics(int64_t now)
{
    if (!config.metrics.enabled || now < nextMetricsAt || !hubStarted || !hub->isRegistered() ||
        link->state() != MqttLink::Up) {
        return;
    }
    nextMetricsAt = now + config.metrics.intervalSeconds * 1000LL;
    std::string text;
    pellix::Result r = hub->requestStatus(text, kMetricsStatusTimeoutMs);
    Json::Value document;
    std::string why;
    if (r && !cli::parseStatus(text, document, why)) {
        r = pellix::Result(pellix::Status::NoReply, "the hub's status is not a JSON object");
    }
    if (!r) {
        if (!metricsFailing) {
            BridgeLog::write(BridgeLog::Warning, "no metrics: " + r.message());
        }
        metricsFailing = true;
        return;
    }
    metricsFailing = false;
    OutboundMessage message;
    message.topic = config.metrics.topic;
    message.payload = cli::renderOpenMetrics(document);
    message.qos = config.metrics.qos;
    message.retain = config.metrics.retain;
    queue.push(std::move(message));
    pump();
}

void Bridge::finish()
{
    if (link->state() == MqttLink::Up) {
        // A clean goodbye keeps the broker from sending the will: say it ourselves.
        int mid = 0;
        link->publish(config.stateTopic(), kOffline, strlen(kOffline), 1, true, &mid);
        link->flush(500);
    }
    link->stop(true);
    queue.requeueInFlight();
    saveQueue(nowMs(), true);
    if (hubStarted) {
        publishStateEvent(false);
        hub->close();
    }
    BridgeLog::write(BridgeLog::Info, "stopped; counters " + stats().line());
}

} // namespace bridge
