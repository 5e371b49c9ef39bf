#include "cli/CliPrinter.h"

#include <json/writer.h>

#include <algorithm>
#include <cstdarg>

namespace cli {

namespace {

std::string bytes(size_t size)
{
    return std::to_string(size) + (size == 1 ? " byte" : " bytes");
}

// Each byte one character, U+0000 to U+00FF, as the tool has always given
// names and paths: jsoncpp would read them as UTF-8, and drop what is not.
std::string latin1(const std::string &bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
        text += c < 0x80 ? std::string(1, static_cast<char>(c))
                         : std::string{static_cast<char>(0xC0 | c >> 6), static_cast<char>(0x80 | (c & 0x3F))};
    }
    return text;
}

} // namespace

void CliPrinter::print(const char *format, ...)
{
    va_list values;
    va_start(values, format);
    vfprintf(out, format, values);
    va_end(values);
    fflush(out);
}

// A Json::Value object keeps its members in name order, and scripts match
// these lines with "type" first, as they always were: jsoncpp writes each
// name and value, in the order given.
void CliPrinter::write(const Members &object)
{
    static const Json::StreamWriterBuilder compact = [] {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        return builder;
    }();
    std::string text;
    for (const auto &member : object) {
        text += (text.empty() ? "{" : ",") + Json::valueToQuotedString(member.first) + ":" +
                Json::writeString(compact, member.second);
    }
    print("%s}\n", text.c_str());
}

void CliPrinter::data(const uint8_t *payload, size_t size, Members object)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        hex += {digits[payload[i] >> 4], digits[payload[i] & 0xf]};
        text += payload[i] >= 0x20 && payload[i] < 0x7f ? static_cast<char>(payload[i]) : '.';
    }
    if (json) {
        object.insert(object.end(), {{"size", Json::UInt64(size)}, {"hex", hex}, {"text", text}});
        return write(object);
    }
    for (size_t at = 0; at < size; at += 16) {
        std::string row;
        for (size_t i = at; i < std::min(size, at + 16); ++i) {
            row += hex.substr(2 * i, 2) + " ";
        }
        print("  %04zx  %-48s %s\n", at, row.c_str(), text.substr(at, 16).c_str());
    }
}

void CliPrinter::registered(int id, const std::string &name, const std::string &where)
{
    json ? write({{"type", "registered"}, {"id", id}, {"name", latin1(name)}, {"hub", latin1(where)}})
         : print("registered as 0x%02x \"%s\" at %s\n", id, name.c_str(), where.c_str());
}

void CliPrinter::subscribed(const std::vector<int> &events)
{
    Json::Value list(Json::arrayValue);
    std::string text;
    for (int event : events) {
        list.append(event);
        text += " " + std::to_string(event);
    }
    json ? write({{"type", "subscribed"}, {"events", list}}) : print("subscribed to%s\n", text.c_str());
}

void CliPrinter::frame(const pellix::FrameView &f)
{
    if (!json) {
        print("frame  dev 0x%02x  src 0x%02x  cmd 0x%04x  len %d  payload %s\n", f.devId, f.srcId, f.cmd, f.len,
              bytes(f.payloadSize).c_str());
    }
    data(f.payload, f.payloadSize,
         {{"type", "frame"}, {"dev", f.devId}, {"src", f.srcId}, {"cmd", f.cmd}, {"len", f.len}});
}

void CliPrinter::event(int number, const uint8_t *payload, size_t size)
{
    if (!json) {
        print("event %d  data %s\n", number, bytes(size).c_str());
    }
    data(payload, size, {{"type", "event"}, {"event", number}});
}

void CliPrinter::departure(int moduleId)
{
    json ? write({{"type", "departure"}, {"module", moduleId}}) : print("departure of module 0x%02x\n", moduleId);
}

void CliPrinter::connection(bool up)
{
    json ? write({{"type", "connection"}, {"up", up}})
         : print("%s\n", up ? "connection restored, registered and subscribed again" : "connection lost, reconnecting");
}

void CliPrinter::sent(const char *what, int devId, int srcId, int cmd, size_t size, const char *transport)
{
    json ? write({{"type", "sent"}, {"what", what}, {"dev", devId}, {"src", srcId}, {"cmd", cmd},
                  {"size", Json::UInt64(size)}, {"transport", transport}})
         : print("sent %s to 0x%02x from 0x%02x, cmd 0x%04x, %s of payload, over %s\n", what, devId, srcId, cmd,
                 bytes(size).c_str(), transport);
}

void CliPrinter::published(int number, size_t size, const char *transport)
{
    json ? write({{"type", "published"}, {"event", number}, {"size", Json::UInt64(size)}, {"transport", transport}})
         : print("published event %d with %s of data, over %s\n", number, bytes(size).c_str(), transport);
}

void CliPrinter::end(const char *reason, long received)
{
    json ? write({{"type", "end"}, {"reason", reason}, {"received", Json::Int64(received)}})
         : print("stopped (%s) after %ld received\n", reason, received);
}

} // namespace cli
