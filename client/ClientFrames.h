#pragma once
// What the client's session and its frame builder share beyond the public
// checks (<pellix/Checks.h>), and the monitor view the fuzzing of hub
// answers decodes too; not installed. Frames themselves are built by the
// wire library (proto/).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <pellix/Checks.h>
#include <pellix/PellixTypes.h>

namespace pellix {
namespace frames {

// Most events one subscription frame can carry (its count is one byte).
const size_t kEventsPerFrame = 255;

// A monitor frame's payload as the monitor callback sees it; false when it
// is no record. view.payload points into payload.
bool decodeMonitorView(const unsigned char *payload, size_t size, MonitorView &view);

} // namespace frames
} // namespace pellix
