#pragma once
// The bridge between one hub and one MQTT broker.
//
// It owns the hub client (the SDK), the broker link, the outbound queue and
// the two echo filters, and runs both sides in one thread: run() polls the
// hub's descriptor and the broker's socket together and serves whichever is
// ready; both sides' timers (the SDK's heartbeat and reconnecting,
// libmosquitto's keep-alive) are served on every pass, at least every
// 100 ms.
//
// Hub events of the out mappings become queued broker messages; broker
// messages under the in filters become hub events or frames at once (the
// hub is local: while it is away they are counted as undelivered, not kept).

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <pellix/CPellixClient.h>

#include "bridge/Backoff.h"
#include "bridge/BridgeConfig.h"
#include "bridge/BridgeStats.h"
#include "bridge/EchoFilter.h"
#include "bridge/MqttLink.h"
#include "bridge/OutboundQueue.h"
#include "bridge/QueueFile.h"

namespace bridge {

class Bridge {
public:
    explicit Bridge(const BridgeConfig &config);
    ~Bridge();
    Bridge(const Bridge &) = delete;
    Bridge &operator=(const Bridge &) = delete;

    // Until `stop` is set; prints the counters whenever `report` is set
    // (and clears it). 0 after a stop, 1 when polling failed.
    int run(volatile sig_atomic_t &stop, volatile sig_atomic_t &report);
    const BridgeStats &stats();
    // Called on every pass of run(), the first time once the hub was tried:
    // for the service manager's readiness and watchdog.
    void setPassHook(const std::function<void()> &hook) { passHook = hook; }
    // "hub up, broker down, sent: 12, received: 3, queued: 2"
    std::string statusLine();

private:
    void restoreQueue();
    void tryHub(int64_t now);
    void tryBroker(int64_t now);
    void onHubEvent(int event, const uint8_t *data, size_t size);
    void onHubConnection(bool up);
    void onBrokerUp();
    void onBrokerLost(const std::string &why);
    void onBrokerAck(int mid);
    void onBrokerMessage(const mosquitto_message &message);
    void deliver(const InMapping &mapping, const mosquitto_message &message);
    void pump();
    void publishStateEvent(bool online);
    void saveQueue(int64_t now, bool force);
    void reportToHub(int64_t now);
    void publishMetrics(int64_t now);
    void finish();
    bool underInFilter(const std::string &topic) const;
    static std::string eventKey(int event) { return "event/" + std::to_string(event); }

    const BridgeConfig &config;
    BridgeStats counters;
    std::unique_ptr<pellix::CPellixClient> hub;
    std::unique_ptr<MqttLink> link;
    OutboundQueue queue;
    std::unique_ptr<QueueFile> queueFile; // null: the queue is kept in memory only
    EchoFilter hubEchoes;
    EchoFilter brokerEchoes; // MQTT 3.1.1 only; MQTT 5 subscribes with no-local
    Backoff hubBackoff;
    Backoff brokerBackoff;
    std::vector<int> outEvents; // ascending
    std::unordered_map<int, uint64_t> inFlight; // QoS 1 message id to queue serial

    bool hubStarted = false; // connect() succeeded once; the SDK reconnects from then on
    int64_t nextHubAttempt = 0;
    int64_t nextBrokerAttempt = 0;
    int64_t brokerAttemptAt = 0;
    bool brokerEverUp = false;
    bool brokerWasUp = false;
    int64_t lastSave = 0;
    int64_t lastRefusalLog = -1000000;
    uint64_t badMessages = 0; // refused by libmosquitto when published
    std::string lastReport;   // as the hub has it; empty after a (re)connection
    int64_t lastReportAt = -1000000;
    std::function<void()> passHook;
    int64_t nextMetricsAt = 0;
    bool metricsFailing = false; // logged once per episode
};

} // namespace bridge
