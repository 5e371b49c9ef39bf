#include "client/ClientFrames.h"

#include <cstdio>
#include <cstring>

#include "hub/MonitorRecord.h"
#include "hub/PacketFrame.h"

// The installed header repeats the layout's numbers so that a module needs
// nothing but the standard library; they are the codec's.
static_assert(pellix::kHubId == CENTER_DEV_ID, "hub id");
static_assert(pellix::kEventSourceId == EVENT_MGR_DEV_ID, "event source id");
static_assert(pellix::kMaxModuleId == MAX_FORWARD_DEV_ID, "highest module id");
static_assert(pellix::kMaxPayload == static_cast<size_t>(PacketFrame::kMaxPayload), "largest payload");
static_assert(int(pellix::kMonitorOn) == int(MONITOR_ON) && int(pellix::kMonitorForwarded) == int(FORWARDED) &&
                  int(pellix::kMonitorPublished) == int(PUBLISHED) &&
                  int(pellix::kMonitorRegistered) == int(REGISTERED) &&
                  int(pellix::kMonitorHubCommand) == int(HUB_COMMAND) && int(pellix::kMonitorDropped) == int(DROPPED) &&
                  int(pellix::kMonitorLost) == int(LOST) && int(pellix::kMonitorRefused) == int(REFUSED),
              "monitor kinds");

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

bool decodeMonitorView(const unsigned char *payload, size_t size, MonitorView &view)
{
    MonitorRecord record;
    if (size > static_cast<size_t>(PacketFrame::kMaxPayload) ||
        !MonitorRecord::decode(payload, static_cast<int>(size), record)) {
        return false;
    }
    view.kind = record.kind;
    view.timeUs = record.timeUs;
    view.devId = static_cast<uint8_t>(record.devId);
    view.srcId = static_cast<uint8_t>(record.srcId);
    view.cmd = static_cast<uint16_t>(record.cmd);
    view.length = static_cast<uint16_t>(record.length);
    view.payload = record.payload;
    view.payloadSize = static_cast<size_t>(record.payloadSize);
    view.lostCount = 0;
    if (record.kind == LOST) {
        MonitorRecord::lostCount(record, view.lostCount);
    }
    return true;
}

std::string refusalReason(const MonitorView &view)
{
    const size_t kMost = 200;
    std::string reason;
    for (size_t i = 0; i < view.payloadSize && i < kMost; ++i) {
        const unsigned char c = view.payload[i];
        reason += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '.';
    }
    return reason.empty() ? "no reason given" : reason;
}

bool statusNeedBytes(const std::string &text, unsigned long long &bytes)
{
    // The one document of that shape, read by hand: the SDK carries no JSON
    // parser, and nothing else may pass for it.
    size_t at = 0;
    auto take = [&](const char *word) {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' || text[at] == '\n')) {
            ++at;
        }
        const size_t n = strlen(word);
        if (text.compare(at, n, word) != 0) {
            return false;
        }
        at += n;
        return true;
    };
    if (!take("{") || !take("\"needBytes\"") || !take(":") || !take("")) {
        return false;
    }
    unsigned long long value = 0;
    const size_t first = at;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && at - first < 18; ++at) {
        value = value * 10 + static_cast<unsigned>(text[at] - '0');
    }
    if (at == first || !take("}") || !take("") || at != text.size()) {
        return false;
    }
    bytes = value;
    return true;
}

} // namespace frames
} // namespace pellix
