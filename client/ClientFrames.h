#pragma once
// The checks that keep a module from sending what the hub could never
// deliver, shared by the stream client and the datagram sender; not
// installed. Frames themselves are built by the frame codec
// (hub/PacketFrame.h).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <pellix/PellixTypes.h>

namespace pellix {
namespace frames {

// The checks, each with the sentence a caller gets back.
Result checkModuleId(int id, const char *what);
Result checkRegistrationId(int id);
Result checkCommand(int cmd);
Result checkPayload(size_t size, size_t limit, const char *what);
Result checkPublishedEvent(int event);
Result checkSubscribedEvent(int event);
Result checkWithdrawnEvent(int event);
Result checkTraceLevel(int level);
Result checkName(const std::string &name);

// Most events one subscription frame can carry (its count is one byte).
const size_t kEventsPerFrame = 255;

// A monitor frame's payload as the monitor callback sees it; false when it
// is no record. view.payload points into payload.
bool decodeMonitorView(const unsigned char *payload, size_t size, MonitorView &view);
// A refusal record's reason as a sentence may quote it: printable ASCII,
// every other byte as '.', cut to a line.
std::string refusalReason(const MonitorView &view);

// True, with the size, when a datagram status answer is the hub's
// {"needBytes":N} instead of the document: the request would have to be N
// bytes long for the whole document to come back.
bool statusNeedBytes(const std::string &text, unsigned long long &bytes);

} // namespace frames
} // namespace pellix
