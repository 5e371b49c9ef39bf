#include "client/ClientFrames.h"

#include <cstdio>
#include <cstring>

#include "hub/PacketFrame.h"

namespace pellix {
namespace frames {

namespace {

std::string format(const char *fmt, long long a, long long b = 0)
{
    char text[160];
    snprintf(text, sizeof text, fmt, a, b);
    return text;
}

Result refuse(const std::string &text)
{
    return Result(Status::InvalidArgument, text);
}

} // namespace

void build(std::string &out, int devId, int srcId, uint16_t cmd, const void *head, size_t headSize,
           const void *body, size_t bodySize)
{
    const size_t payload = headSize + bodySize;
    const size_t len = payload + PacketFrame::kHeaderSize;
    out.resize(PacketFrame::kMinFrameSize + payload);
    unsigned char *p = reinterpret_cast<unsigned char *>(&out[0]);
    memcpy(p, PacketFrame::kStartMark, PacketFrame::kStartMarkSize);
    p[PacketFrame::kLenOffset] = static_cast<unsigned char>(len & 0xff);
    p[PacketFrame::kLenOffset + 1] = static_cast<unsigned char>((len >> 8) & 0xff);
    p[PacketFrame::kDevIdOffset] = static_cast<unsigned char>(devId);
    p[PacketFrame::kSrcIdOffset] = static_cast<unsigned char>(srcId);
    p[PacketFrame::kCmdOffset] = static_cast<unsigned char>(cmd & 0xff);
    p[PacketFrame::kCmdOffset + 1] = static_cast<unsigned char>(cmd >> 8);
    if (headSize > 0) {
        memcpy(p + PacketFrame::kPayloadOffset, head, headSize);
    }
    if (bodySize > 0) {
        memcpy(p + PacketFrame::kPayloadOffset + headSize, body, bodySize);
    }
    memcpy(p + PacketFrame::kPayloadOffset + payload, PacketFrame::kEndMark, PacketFrame::kEndMarkSize);
}

void eventList(std::string &out, const std::vector<int> &events, size_t from, size_t count)
{
    out.resize(1 + 2 * count);
    out[0] = static_cast<char>(count);
    for (size_t i = 0; i < count; ++i) {
        const int event = events[from + i];
        out[1 + 2 * i] = static_cast<char>(event & 0xff);
        out[2 + 2 * i] = static_cast<char>((event >> 8) & 0xff);
    }
}

void eventNumber(unsigned char out[2], int event)
{
    out[0] = static_cast<unsigned char>(event & 0xff);
    out[1] = static_cast<unsigned char>((event >> 8) & 0xff);
}

Result checkModuleId(int id, const char *what)
{
    if (id < 0 || id > 0xFF) {
        return refuse(std::string(what) + format(" %lld is not a module id (0 to 255)", id));
    }
    return Result();
}

Result checkRegistrationId(int id)
{
    Result r = checkModuleId(id, "module id");
    if (!r) {
        return r;
    }
    if (id == kHubId || id > kMaxModuleId) {
        return refuse(format("module id 0x%02llx cannot be registered: the hub forwards frames only to 0x00 and "
                             "0x02 to 0xe0",
                             id));
    }
    return Result();
}

Result checkCommand(int cmd)
{
    if (cmd < 0 || cmd > 0xFFFF) {
        return refuse(format("command %lld does not fit 16 bits", cmd));
    }
    return Result();
}

Result checkPayload(size_t size, size_t limit, const char *what)
{
    if (size > limit) {
        return refuse(std::string(what) +
                      format(" of %lld bytes does not fit a frame (at most %lld)", static_cast<long long>(size),
                             static_cast<long long>(limit)));
    }
    return Result();
}

Result checkPublishedEvent(int event)
{
    if (event == kDepartureEvent) {
        return refuse("event 0 is the hub's own departure notice and cannot be published");
    }
    if (event < 0 || event > kMaxEvent) {
        return refuse(format("event %lld can never be delivered: publications match events 1 to %lld only", event,
                             kMaxEvent));
    }
    return Result();
}

Result checkSubscribedEvent(int event)
{
    if (event < 0 || event > kMaxEvent) {
        return refuse(format("event %lld can never be delivered: subscribe to events 0 to %lld only", event,
                             kMaxEvent));
    }
    return Result();
}

Result checkWithdrawnEvent(int event)
{
    // Any 16-bit number, so that a subscription made by other means can
    // still be withdrawn.
    if (event < 0 || event > 0xFFFF) {
        return refuse(format("event %lld does not fit 16 bits", event));
    }
    return Result();
}

Result checkTraceLevel(int level)
{
    if (level < 0 || level > 6) {
        return refuse(format("trace level %lld is outside 0 (fatal only) to 6 (debug)", level));
    }
    return Result();
}

Result checkName(const std::string &name)
{
    if (name.find('\0') != std::string::npos) {
        return refuse("module name contains a zero byte");
    }
    return checkPayload(name.size(), kMaxPayload, "module name");
}

} // namespace frames
} // namespace pellix
