#pragma once
// The hub's status document as tables a person reads at a glance: a header
// with version, uptime, settings, totals, descriptors and memory, then one
// row per connection and one per event with subscribers.
//
// The document comes from the network: a key that is missing or of another
// type shows as "-", never as a failure, and every string is made printable
// before it reaches a terminal.

#include <json/value.h>

#include <string>

#include "cli/StatusDocument.h"

namespace cli {

std::string renderStatus(const Json::Value &document);

} // namespace cli
