#include "proto/MonitorRecord.h"

#include <algorithm>

#include "proto/PacketFrame.h"

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
    return kind >= 0 && kind <= pellix::wire::kMonitorRefused ? names[kind] : nullptr;
}

void MonitorRecord::header(unsigned char out[kHeaderSize], MonitorKind kind, uint64_t timeUs, int devId, int srcId, int cmd,
                           int length)
{
    out[0] = static_cast<unsigned char>(static_cast<int>(kind));
    putU64LE(out + 1, timeUs);
    out[9] = static_cast<unsigned char>(devId);
    out[10] = static_cast<unsigned char>(srcId);
    putU16LE(out + 11, cmd);
    putU16LE(out + 13, length);
}

void MonitorRecord::appendFrame(std::string &out, int monitorId, MonitorKind kind, uint64_t timeUs, int devId, int srcId,
                                int cmd, const void *payload, size_t length)
{
    unsigned char head[kHeaderSize];
    const size_t carried = std::min(length, static_cast<size_t>(kMaxCarried));
    header(head, kind, timeUs, devId, srcId, cmd, static_cast<int>(std::min<size_t>(length, 0xffff)));
    // Cannot fail: the header and the cut payload fit a frame by construction.
    PacketFrame::append(out, monitorId, CENTER_DEV_ID, CMD_MONITOR, head, sizeof head, payload, carried);
}

size_t MonitorRecord::frameSize(size_t length)
{
    return PacketFrame::frameSize(kHeaderSize + std::min(length, static_cast<size_t>(kMaxCarried)));
}

void MonitorRecord::writeFrame(unsigned char *out, int monitorId, MonitorKind kind, uint64_t timeUs, int devId, int srcId,
                               int cmd, const void *payload, size_t length)
{
    unsigned char head[kHeaderSize];
    const size_t carried = std::min(length, static_cast<size_t>(kMaxCarried));
    header(head, kind, timeUs, devId, srcId, cmd, static_cast<int>(std::min<size_t>(length, 0xffff)));
    PacketFrame::write(out, monitorId, CENTER_DEV_ID, CMD_MONITOR, head, sizeof head, payload, carried);
}

void MonitorRecord::appendLostFrame(std::string &out, int monitorId, uint64_t timeUs, uint64_t count)
{
    unsigned char number[8];
    putU64LE(number, count);
    unsigned char head[kHeaderSize];
    header(head, MonitorKind::Lost, timeUs, 0, 0, 0, 0);
    PacketFrame::append(out, monitorId, CENTER_DEV_ID, CMD_MONITOR, head, sizeof head, number, sizeof number);
}
