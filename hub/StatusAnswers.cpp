#include "hub/StatusAnswers.h"

#include <netinet/in.h>

#include <algorithm>

#include "hub/Clock.h"
#include "net/CSocketClient.h"
#include "net/CUdpServer.h"
#include "proto/StatusPart.h"
#include "trace/Trace.h"

StatusAnswers::StatusAnswers(const StatusService::Builder &builder, SessionTable &table, Delivery &delivery,
                             TrafficCounters &datagramTraffic)
    : status(builder), sessions(table), out(delivery), datagrams(datagramTraffic)
{
}

void StatusAnswers::answer(Sender &sender, int srcId)
{
    if (!sender.isStream()) {
        answerDatagram(sender, srcId);
        return;
    }
    Session &session = *sender.session;
    const int64_t now = Clock::nowMs();
    // One answer at a time: another waits while the last is still queued,
    // and any beyond the budgets waits for them; repeated requests merge.
    if (session.statusLateFor < 0 && !session.endpoint->hasUnsentBytes() &&
        status.admitStream(session.statusBudget, now)) {
        answerStream(session, srcId, now);
        return;
    }
    if (session.statusLateFor < 0) {
        ++owed;
        tm_printf(TRACE_INFO, "sendStatus", __LINE__, "status for fd %d answered late: over its rate\n",
                  session.endpoint->getFd());
    }
    session.statusLateFor = srcId;
}

void StatusAnswers::answerStream(Session &session, int srcId, int64_t now)
{
    const std::string &text = status.document(now);
    frames.clear();
    if (!StatusPart::appendFrames(frames, srcId, text, StatusService::kStreamPartBytes)) {
        tm_printf(TRACE_ERROR, "sendStatus", __LINE__, "status of %zu bytes does not fit a reply\n", text.size());
        return;
    }
    status.chargeStream(now, text.size());
    session.traffic.framesOut +=
        static_cast<uint64_t>(StatusPart::partCount(text.size(), StatusService::kStreamPartBytes));
    session.traffic.bytesOut += frames.size();
    // A document can be large: it never makes the loop wait for a reader.
    // Whatever the outbox holds for the connection goes first.
    out.writeNow(session.endpoint);
    session.endpoint->sendWithoutWaiting(frames.data(), frames.size());
}

void StatusAnswers::answerLate()
{
    if (owed == 0) {
        return;
    }
    const int64_t now = Clock::nowMs();
    for (const auto &entry : sessions.all()) {
        Session &session = *entry.second;
        if (session.statusLateFor < 0 || session.endpoint->hasUnsentBytes() || !session.endpoint->isConnected() ||
            !status.admitStream(session.statusBudget, now)) {
            continue;
        }
        const int srcId = session.statusLateFor;
        session.statusLateFor = -1;
        --owed;
        answerStream(session, srcId, now);
    }
}

void StatusAnswers::forget(const Session &session)
{
    if (session.statusLateFor >= 0) {
        --owed;
    }
}

void StatusAnswers::answerDatagram(Sender &sender, int srcId)
{
    // A datagram's sender gets one datagram a part, each small enough for
    // any receiver, and never more bytes than a few times what it sent: its
    // address may be forged, to turn the hub against a third party.
    const struct sockaddr_in *from = static_cast<const struct sockaddr_in *>(sender.from);
    if (udp == nullptr || from == nullptr || from->sin_family != AF_INET) {
        return;
    }
    const int64_t now = Clock::nowMs();
    if (!status.admitDatagram(from->sin_addr.s_addr, now)) {
        ++datagrams.droppedRefused;
        tm_printf(TRACE_INFO, "sendStatus", __LINE__, "status request by datagram refused: over its rate\n");
        return;
    }
    const size_t budget = StatusService::kDatagramFactor * sender.datagramBytes;
    const std::string text =
        StatusService::datagramText(status.document(now), budget - std::min(budget, sender.answeredBytes));
    const int count = StatusPart::partCount(text.size(), StatusService::kDatagramPartBytes);
    if (text.empty() || count == 0) {
        return;
    }
    for (int part = 1; part <= count; ++part) {
        const size_t offset = static_cast<size_t>(part - 1) * StatusService::kDatagramPartBytes;
        const size_t size = std::min(StatusService::kDatagramPartBytes, text.size() - std::min(offset, text.size()));
        frames.clear();
        StatusPart::appendFrame(frames, srcId, part, count, text.data() + offset, size);
        sender.answeredBytes += frames.size();
        if (udp->sendData(frames.data(), static_cast<int>(frames.size()), from, sizeof *from) > 0) {
            ++datagrams.framesOut;
            datagrams.bytesOut += frames.size();
        }
    }
}
