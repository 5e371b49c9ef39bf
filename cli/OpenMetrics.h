#pragma once
// The hub's status document as OpenMetrics text, for node_exporter's
// textfile collector or any scraper: the hub's counters as counters
// (`_total`), its levels as gauges, its version and settings as info, one
// series per connection (labelled with its descriptor, module ids, name and
// transport) and per event, and the closing `# EOF`.
//
// The document comes from the network: what is missing or of another type
// is left out, never a failure, and every label value is printable ASCII,
// escaped as the format wants it.

#include <json/value.h>

#include <string>

namespace cli {

std::string renderOpenMetrics(const Json::Value &document);

} // namespace cli
