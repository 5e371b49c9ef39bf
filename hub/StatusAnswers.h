#pragma once
// Answers the status command: over a stream to the asking connection, in
// parts, without ever making the loop wait for the reader; to a datagram's
// sender, one datagram a part. StatusService decides when and how much.

#include <cstddef>
#include <cstdint>
#include <string>

#include "hub/Delivery.h"
#include "hub/Sender.h"
#include "hub/SessionTable.h"
#include "hub/StatusService.h"
#include "hub/TrafficCounters.h"

class CUdpServer;

class StatusAnswers {
public:
    StatusAnswers(const StatusService::Builder &builder, SessionTable &table, Delivery &delivery,
                  TrafficCounters &datagramTraffic);

    // Where datagram answers leave from (set once the servers exist).
    void setDatagramServer(CUdpServer *server) { udp = server; }
    // A status request to the hub from sender, answered to srcId.
    void answer(Sender &sender, int srcId);
    // Once a loop pass: the answers owed, as the budgets allow.
    void answerLate();
    // A session that is going: it is owed nothing any more.
    void forget(const Session &session);
    // Connections owed an answer.
    size_t late() const { return owed; }
    StatusService &service() { return status; }

private:
    void answerStream(Session &session, int srcId, int64_t nowMs);
    void answerDatagram(Sender &sender, int srcId);

    StatusService status;
    SessionTable &sessions;
    Delivery &out;
    TrafficCounters &datagrams;
    CUdpServer *udp = nullptr;
    std::string frames; // reused for every answer
    size_t owed = 0;
};
