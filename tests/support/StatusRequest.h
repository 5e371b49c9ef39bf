#pragma once
// The hub's status document as a module asks for it: one request, the reply's
// parts put together and parsed.

#include <cstddef>

#include <json/json.h>

#include "tests/support/ModuleClient.h"

namespace e2e {

// The document, or a null value (and a test failure) without a whole reply
// in time. The largest part's text size and the part count are reported
// when asked for, so that the cut can be checked. A request of requestBytes
// carries that much padding (for a datagram, whose answer is bounded by it).
Json::Value requestStatus(ModuleClient &client, size_t *largestPart = nullptr, int *parts = nullptr,
                          size_t requestBytes = 0);

// The connection holding module id `id`; null when there is none.
const Json::Value *connectionWithId(const Json::Value &doc, int id);

} // namespace e2e
