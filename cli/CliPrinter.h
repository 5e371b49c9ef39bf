#pragma once
// What pellix-cli prints on standard output: plain lines for people (a
// decoded header, then the payload as hex and printable text), or one JSON
// object a line for scripts. Every line is flushed at once, so that a
// script reading a pipe sees it when it happens.

#include <json/value.h>
#include <pellix/PellixTypes.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace cli {

// Bytes as a terminal may show them: printable ASCII as it is, every other
// byte (control characters, escapes, UTF-8) as '.'.
std::string printable(const void *data, size_t size);
inline std::string printable(const std::string &text)
{
    return printable(text.data(), text.size());
}

class CliPrinter {
public:
    CliPrinter(FILE *stream, bool asJson) : out(stream), json(asJson) {}

    void registered(int id, const std::string &name, const std::string &where);
    void subscribed(const std::vector<int> &events);
    void frame(const pellix::FrameView &frame);
    void event(int event, const uint8_t *data, size_t size);
    void departure(int moduleId);
    // restored: the plain line once the connection is back.
    void connection(bool up, const char *restored = "connection restored, registered and subscribed again");
    void sent(const char *what, int devId, int srcId, int cmd, size_t size, const char *transport);
    void published(int event, size_t size, const char *transport);
    void end(const char *reason, long received);
    // call: the frame that answered.
    void reply(const pellix::Reply &reply);
    // status --openmetrics: the text as it is.
    void text(const std::string &text);
    // capture: the line once the hub has answered.
    void capturing(const std::string &where, const std::string &file);

    // status: one block of tables (after clearing the terminal, or after a
    // blank line, when asked), or the hub's document as one JSON line.
    enum Before { Nothing, ClearScreen, BlankLine };
    void status(const Json::Value &document, Before before);
    // Whether the output goes to a terminal.
    bool toTerminal() const;
    // monitor: the line once the hub has answered, then one per record.
    void monitoring(const std::string &where);
    void record(const pellix::MonitorView &record);

private:
    typedef std::vector<std::pair<const char *, Json::Value>> Members;

    // A frame's or an event's data: as hex and text below the plain line,
    // or as the last members of the object.
    void data(const uint8_t *payload, size_t size, Members object);
    void write(const Members &object);
    void print(const char *format, ...) __attribute__((format(printf, 2, 3)));

    FILE *out;
    bool json;
};

} // namespace cli
