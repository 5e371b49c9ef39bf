#pragma once
// The hub's status text read as a JSON document, for the tool's tables and
// for the OpenMetrics text the tool and the bridge make of it.

#include <json/value.h>

#include <string>

namespace cli {

// The hub's status text as a JSON object; false with a short reason when it
// is not one. Nesting is bounded (the hub's document nests a few levels,
// reports included), so that no text can exhaust the stack, and nothing the
// parser throws gets out.
const int kMaxStatusDepth = 64;
bool parseStatus(const std::string &text, Json::Value &document, std::string &why);

// A member of an object, or a null value for anything else (jsoncpp's
// operator[] asserts on a value that is not an object).
const Json::Value &memberOf(const Json::Value &object, const char *key);

} // namespace cli
