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

namespace cli {

// The hub's status text as a JSON object; false with a short reason when it
// is not one. Nesting is bounded (the hub's document nests a few levels,
// reports included), so that no text can exhaust the stack, and nothing the
// parser throws gets out.
const int kMaxStatusDepth = 64;
bool parseStatus(const std::string &text, Json::Value &document, std::string &why);

std::string renderStatus(const Json::Value &document);

} // namespace cli
