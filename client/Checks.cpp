#include <pellix/Checks.h>

#include <cstdio>

namespace pellix {

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

} // namespace pellix
