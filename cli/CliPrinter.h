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

class CliPrinter {
public:
    CliPrinter(FILE *stream, bool asJson) : out(stream), json(asJson) {}

    void registered(int id, const std::string &name, const std::string &where);
    void subscribed(const std::vector<int> &events);
    void frame(const pellix::FrameView &frame);
    void event(int event, const uint8_t *data, size_t size);
    void departure(int moduleId);
    void connection(bool up);
    void sent(const char *what, int devId, int srcId, int cmd, size_t size, const char *transport);
    void published(int event, size_t size, const char *transport);
    void end(const char *reason, long received);

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
