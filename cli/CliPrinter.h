#pragma once
// What pellix-cli prints on standard output: plain lines for people (a
// decoded header, then the payload as hex and printable text), or one JSON
// object a line for scripts. Every line is flushed at once, so that a
// script reading a pipe sees it when it happens.

#include <pellix/PellixTypes.h>

#include <cstdio>
#include <string>
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

    // JSON string contents: quotes, backslashes, control bytes and bytes
    // above 0x7e escaped as \u00XX.
    static std::string escape(const std::string &text);
    static std::string hexOf(const uint8_t *data, size_t size);
    static std::string textOf(const uint8_t *data, size_t size);

private:
    void dump(const uint8_t *data, size_t size);
    void line(const std::string &text);

    FILE *out;
    bool json;
};

} // namespace cli
