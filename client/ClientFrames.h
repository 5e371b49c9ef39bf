#pragma once
// Frames as a module sends them, and the checks that keep a module from
// sending what the hub could never deliver. Shared by the stream client and
// the datagram sender; not installed.
//
// The hub's sendPacket writes an 8-bit command and sends on an endpoint from
// one buffer shared by the whole process; a module needs every 16-bit
// command and one buffer per client, so frames are built here, on the same
// layout and constants (hub/PacketFrame.h).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <pellix/PellixTypes.h>

namespace pellix {
namespace frames {

// Writes "<start>", len, devId, srcId, cmd, head, body, "<end>" into out,
// reusing its capacity. The caller has checked the sizes.
void build(std::string &out, int devId, int srcId, uint16_t cmd, const void *head, size_t headSize,
           const void *body, size_t bodySize);

// The payload of a subscription command for events[from, from + count):
// the count byte, then each event as 16 bits, little-endian.
void eventList(std::string &out, const std::vector<int> &events, size_t from, size_t count);

// The 2-byte event number that leads a publication.
void eventNumber(unsigned char out[2], int event);

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

} // namespace frames
} // namespace pellix
