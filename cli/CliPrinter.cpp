#include "cli/CliPrinter.h"

#include <json/writer.h>

#include <algorithm>
#include <cstdarg>
#include <ctime>

#include <unistd.h>

#include "cli/StatusView.h"

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

std::string printable(const void *data, size_t size)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    std::string text(size, '.');
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] >= 0x20 && bytes[i] < 0x7f) {
            text[i] = static_cast<char>(bytes[i]);
        }
    }
    return text;
}

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
    const std::string text = printable(payload, size);
    for (size_t i = 0; i < size; ++i) {
        hex += {digits[payload[i] >> 4], digits[payload[i] & 0xf]};
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
         : print("registered as 0x%02x \"%s\" at %s\n", id, printable(name).c_str(), printable(where).c_str());
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

void CliPrinter::connection(bool up, const char *restored)
{
    json ? write({{"type", "connection"}, {"up", up}}) : print("%s\n", up ? restored : "connection lost, reconnecting");
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

void CliPrinter::reply(const pellix::Reply &r)
{
    const uint8_t *payload = reinterpret_cast<const uint8_t *>(r.payload.data());
    if (!json) {
        print("reply  from 0x%02x  to 0x%02x  cmd 0x%04x  payload %s\n", r.srcId, r.devId, r.cmd,
              bytes(r.payload.size()).c_str());
    }
    data(payload, r.payload.size(), {{"type", "reply"}, {"dev", r.devId}, {"src", r.srcId}, {"cmd", r.cmd}});
}

void CliPrinter::text(const std::string &text)
{
    fwrite(text.data(), 1, text.size(), out);
    fflush(out);
}

void CliPrinter::capturing(const std::string &where, const std::string &file)
{
    json ? write({{"type", "capturing"}, {"hub", latin1(where)}, {"file", latin1(file)}})
         : print("capturing the hub at %s into %s\n", printable(where).c_str(), printable(file).c_str());
}

void CliPrinter::end(const char *reason, long received)
{
    json ? write({{"type", "end"}, {"reason", reason}, {"received", Json::Int64(received)}})
         : print("stopped (%s) after %ld received\n", reason, received);
}

} // namespace cli

namespace cli {

bool CliPrinter::toTerminal() const
{
    return isatty(fileno(out)) == 1;
}

void CliPrinter::status(const Json::Value &document, Before before)
{
    if (json) {
        static const Json::StreamWriterBuilder compact = [] {
            Json::StreamWriterBuilder builder;
            builder["indentation"] = "";
            return builder;
        }();
        return print("%s\n", Json::writeString(compact, document).c_str());
    }
    // Home and erase, as top does: the new block replaces the old in place.
    print("%s%s", before == ClearScreen ? "\033[H\033[2J" : before == BlankLine ? "\n" : "",
          renderStatus(document).c_str());
}

void CliPrinter::monitoring(const std::string &where)
{
    json ? write({{"type", "monitoring"}, {"hub", latin1(where)}})
         : print("monitoring the hub at %s\n", printable(where).c_str());
}

void CliPrinter::record(const pellix::MonitorView &r)
{
    static const char *const kinds[] = {"monitor-on", "forwarded", "published", "registered",
                                        "hub-command", "dropped", "lost", "refused"};
    const std::string kind = r.kind >= 0 && r.kind <= pellix::kMonitorRefused ? kinds[r.kind]
                                                                             : "kind-" + std::to_string(r.kind);
    // Local time of day to the microsecond, as a trace would show it.
    const time_t seconds = static_cast<time_t>(r.timeUs / 1000000);
    struct tm local;
    char clock[32] = "--:--:--";
    if (localtime_r(&seconds, &local) != nullptr) {
        strftime(clock, sizeof clock, "%H:%M:%S", &local);
    }
    char when[48];
    snprintf(when, sizeof when, "%s.%06u", clock, static_cast<unsigned>(r.timeUs % 1000000));
    if (r.kind == pellix::kMonitorLost) {
        json ? write({{"type", "monitor"}, {"kind", kind}, {"timeUs", Json::UInt64(r.timeUs)}, {"time", when},
                      {"lost", Json::UInt64(r.lostCount)}})
             : print("%s %-11s %llu copies lost (the monitor could not keep up)\n", when, kind.c_str(),
                     static_cast<unsigned long long>(r.lostCount));
        return;
    }
    if (json) {
        return data(r.payload, r.payloadSize,
                    {{"type", "monitor"}, {"kind", kind}, {"timeUs", Json::UInt64(r.timeUs)}, {"time", when},
                     {"dev", r.devId}, {"src", r.srcId}, {"cmd", r.cmd}, {"length", r.length}});
    }
    // The payload's start, on the record's one line.
    const size_t shown = std::min<size_t>(r.payloadSize, 16);
    const bool cut = shown < r.length;
    std::string tail;
    if (shown > 0) {
        static const char digits[] = "0123456789abcdef";
        tail = " ";
        for (size_t i = 0; i < shown; ++i) {
            tail += {' ', digits[r.payload[i] >> 4], digits[r.payload[i] & 0xf]};
        }
        tail += (cut ? " ...  " : "  ") + printable(r.payload, shown) + (cut ? "..." : "");
    }
    print("%s %-11s 0x%02x -> 0x%02x  cmd 0x%04x  %s%s\n", when, kind.c_str(), r.srcId, r.devId, r.cmd,
          bytes(r.length).c_str(), tail.c_str());
}

} // namespace cli
