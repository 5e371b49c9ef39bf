#include "hub/StatusService.h"

#include "proto/PacketFrame.h"
#include "proto/StatusPart.h"

namespace {

const double kConnectionBurst = 3;
const double kConnectionPerSecond = 2;
const double kAnswersBurst = 20;
const double kAnswersPerSecond = 10;
const double kBytesBurst = 4.0 * 1024 * 1024;
const double kBytesPerSecond = 2.0 * 1024 * 1024;
const double kSenderBurst = 4;
const double kSenderPerSecond = 2;

} // namespace

StatusService::StatusService(const Builder &builder)
    : build(builder), streamAnswers(kAnswersBurst, kAnswersPerSecond), streamBytes(kBytesBurst, kBytesPerSecond),
      datagramAnswers(kAnswersBurst, kAnswersPerSecond)
{
}

const std::string &StatusService::document(int64_t nowMs)
{
    if (builtAtMs < 0 || nowMs - builtAtMs >= kRebuildMs || nowMs < builtAtMs) {
        text = build();
        builtAtMs = nowMs;
        ++buildCount;
    }
    return text;
}

TokenBucket StatusService::connectionBudget()
{
    return TokenBucket(kConnectionBurst, kConnectionPerSecond);
}

bool StatusService::admitStream(TokenBucket &connection, int64_t nowMs)
{
    if (!connection.ready(nowMs) || !streamAnswers.ready(nowMs) || !streamBytes.ready(nowMs)) {
        return false;
    }
    connection.take(nowMs);
    streamAnswers.take(nowMs);
    return true;
}

void StatusService::chargeStream(int64_t nowMs, size_t textBytes)
{
    streamBytes.spend(nowMs, static_cast<double>(textBytes));
}

bool StatusService::admitDatagram(uint32_t address, int64_t nowMs)
{
    Sender *sender = nullptr;
    for (Sender &candidate : senders) {
        if (candidate.address == address) {
            sender = &candidate;
            break;
        }
    }
    if (sender == nullptr) {
        if (senders.size() < kRememberedSenders) {
            senders.push_back(Sender{address, nowMs, TokenBucket(kSenderBurst, kSenderPerSecond)});
            sender = &senders.back();
        } else {
            sender = &senders[0];
            for (Sender &candidate : senders) {
                if (candidate.lastMs < sender->lastMs) {
                    sender = &candidate;
                }
            }
            *sender = Sender{address, nowMs, TokenBucket(kSenderBurst, kSenderPerSecond)};
        }
    }
    sender->lastMs = nowMs;
    if (!sender->budget.ready(nowMs) || !datagramAnswers.ready(nowMs)) {
        return false;
    }
    sender->budget.take(nowMs);
    datagramAnswers.take(nowMs);
    return true;
}

size_t StatusService::datagramReplyBytes(size_t textBytes)
{
    const int parts = StatusPart::partCount(textBytes, kDatagramPartBytes);
    // Beyond the most parts a reply can have, the figure only has to be large.
    const size_t count =
        parts > 0 ? static_cast<size_t>(parts) : (textBytes + kDatagramPartBytes - 1) / kDatagramPartBytes;
    return textBytes + count * (PacketFrame::kMinFrameSize + StatusPart::kHeaderSize);
}

std::string StatusService::datagramText(const std::string &document, size_t budget)
{
    const size_t needed = datagramReplyBytes(document.size());
    if (needed <= budget) {
        return document;
    }
    const std::string need = StatusPart::needBytesDocument((needed + kDatagramFactor - 1) / kDatagramFactor);
    return datagramReplyBytes(need.size()) <= budget ? need : std::string();
}
