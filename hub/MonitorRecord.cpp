#include "hub/MonitorRecord.h"

#include <algorithm>

#include "hub/PacketFrame.h"

namespace {

uint64_t readU64LE(const unsigned char *data)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | data[i];
    }
    return value;
}

void putU64LE(unsigned char *out, uint64_t value)
{
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

void putU16LE(unsigned char *out, int value)
{
    out[0] = static_cast<unsigned char>(value & 0xff);
    out[1] = static_cast<unsigned char>((value >> 8) & 0xff);
}

} // namespace

bool MonitorRecord::decode(const unsigned char *data, int size, MonitorRecord &out)
{
    if (data == nullptr || size < kHeaderSize) {
        return false;
    }
    MonitorRecord record;
    record.kind = data[0];
    record.timeUs = readU64LE(data + 1);
    record.devId = data[9];
    record.srcId = data[10];
    PacketFrame::readU16LE(data, size, 11, record.cmd);
    PacketFrame::readU16LE(data, size, 13, record.length);
    record.payload = data + kHeaderSize;
    record.payloadSize = size - kHeaderSize;
    out = record;
    return true;
}

bool MonitorRecord::lostCount(const MonitorRecord &record, uint64_t &out)
{
    if (record.payload == nullptr || record.payloadSize < 8) {
        return false;
    }
    out = readU64LE(record.payload);
    return true;
}

const char *MonitorRecord::kindName(int kind)
{
    static const char *const names[] = {"monitor-on", "forwarded", "published", "registered",
                                        "hub-command", "dropped", "lost", "refused"};
    return kind >= 0 && kind <= REFUSED ? names[kind] : nullptr;
}

void MonitorRecord::header(unsigned char out[kHeaderSize], int kind, uint64_t timeUs, int devId, int srcId, int cmd,
                           int length)
{
    out[0] = static_cast<unsigned char>(kind);
    putU64LE(out + 1, timeUs);
    out[9] = static_cast<unsigned char>(devId);
    out[10] = static_cast<unsigned char>(srcId);
    putU16LE(out + 11, cmd);
    putU16LE(out + 13, length);
}

void MonitorRecord::appendFrame(std::string &out, int monitorId, int kind, uint64_t timeUs, int devId, int srcId,
                                int cmd, const void *payload, size_t length)
{
    unsigned char head[kHeaderSize];
    const size_t carried = std::min(length, static_cast<size_t>(kMaxCarried));
    header(head, kind, timeUs, devId, srcId, cmd, static_cast<int>(std::min<size_t>(length, 0xffff)));
    // Cannot fail: the header and the cut payload fit a frame by construction.
    PacketFrame::append(out, monitorId, CENTER_DEV_ID, CMD_MONITOR, head, sizeof head, payload, carried);
}

void MonitorRecord::appendLostFrame(std::string &out, int monitorId, uint64_t timeUs, uint64_t count)
{
    unsigned char number[8];
    putU64LE(number, count);
    unsigned char head[kHeaderSize];
    header(head, LOST, timeUs, 0, 0, 0, 0);
    PacketFrame::append(out, monitorId, CENTER_DEV_ID, CMD_MONITOR, head, sizeof head, number, sizeof number);
}

bool StatusPart::decode(const unsigned char *data, int size, StatusPart &out)
{
    int part = 0;
    int count = 0;
    if (!PacketFrame::readU16LE(data, size, 0, part) || !PacketFrame::readU16LE(data, size, 2, count) ||
        part == 0 || count == 0 || part > count) {
        return false;
    }
    out.part = part;
    out.count = count;
    out.text = data + kHeaderSize;
    out.textSize = size - kHeaderSize;
    return true;
}

int StatusPart::partCount(size_t textSize, size_t maxText)
{
    if (maxText == 0) {
        return 0;
    }
    const size_t parts = textSize == 0 ? 1 : (textSize + maxText - 1) / maxText;
    return parts > static_cast<size_t>(kMaxCount) ? 0 : static_cast<int>(parts);
}

bool StatusPart::appendFrame(std::string &out, int devId, int part, int count, const void *text, size_t size)
{
    if (part < 1 || count < part || count > kMaxCount) {
        return false;
    }
    unsigned char head[kHeaderSize];
    putU16LE(head, part);
    putU16LE(head + 2, count);
    return PacketFrame::append(out, devId, CENTER_DEV_ID, CMD_STATUS, head, sizeof head, text, size);
}

bool StatusPart::appendFrames(std::string &out, int devId, const std::string &text, size_t maxText)
{
    const int count = partCount(text.size(), maxText);
    if (count == 0 || maxText > static_cast<size_t>(PacketFrame::kMaxPayload - kHeaderSize)) {
        return false;
    }
    const size_t before = out.size();
    for (int part = 1; part <= count; ++part) {
        const size_t from = static_cast<size_t>(part - 1) * maxText;
        const size_t size = std::min(maxText, text.size() - from);
        if (!appendFrame(out, devId, part, count, text.data() + from, size)) {
            out.resize(before);
            return false;
        }
    }
    return true;
}

void StatusCollector::reset()
{
    document.clear();
    nextPart = 0;
    count = 0;
}

StatusCollector::Outcome StatusCollector::add(const unsigned char *data, int size)
{
    StatusPart part;
    if (!StatusPart::decode(data, size, part)) {
        return Ignored;
    }
    if (part.part == 1) {
        reset();
        count = part.count;
    } else if (nextPart != part.part || count != part.count) {
        return Ignored;
    }
    if (document.size() + static_cast<size_t>(part.textSize) > maxBytes) {
        reset();
        return TooLarge;
    }
    document.append(reinterpret_cast<const char *>(part.text), static_cast<size_t>(part.textSize));
    if (part.part == count) {
        nextPart = 0;
        return Complete;
    }
    nextPart = part.part + 1;
    return Partial;
}
