#include "hub/ModuleReport.h"

#include <exception>
#include <memory>

#include <json/json.h>

#include "proto/PacketFrame.h"

namespace {

// A counter set is flat; a little nesting is allowed, a parser's recursion
// is not offered to a peer.
const int kMostDepth = 4;

} // namespace

bool ModuleReport::normalise(const unsigned char *payload, size_t size, std::string &out, std::string &why)
{
    if (size == 0 || size > static_cast<size_t>(PacketFrame::kMaxReportBytes)) {
        why = "a report is 1 to " + std::to_string(PacketFrame::kMaxReportBytes) + " bytes, got " +
              std::to_string(size);
        return false;
    }
    // Printable ASCII only: a report is counters and words, and raw bytes
    // would reach the status document and the tool's terminal as they came.
    for (size_t i = 0; i < size; ++i) {
        const unsigned char c = payload[i];
        if ((c < 0x20 || c > 0x7e) && c != '\t' && c != '\n' && c != '\r') {
            why = "a report is printable ASCII";
            return false;
        }
    }
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    // The reader counts the value it starts in as one level more.
    builder["stackLimit"] = kMostDepth + 1;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    const char *begin = reinterpret_cast<const char *>(payload);
    Json::Value value;
    bool parsed = false;
    try {
        parsed = reader->parse(begin, begin + size, &value, nullptr);
    } catch (const std::exception &) {
        // The reader throws when the nesting passes its limit.
        parsed = false;
    }
    if (!parsed || !value.isObject()) {
        why = "a report is one JSON object";
        return false;
    }
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    out = Json::writeString(writer, value);
    return true;
}
