#include "cli/CliPrinter.h"

namespace cli {

namespace {

std::string hex2(int value, int digits)
{
    char text[16];
    snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

} // namespace

std::string CliPrinter::escape(const std::string &text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            escaped += '\\';
            escaped += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7e) {
            char code[8];
            snprintf(code, sizeof code, "\\u%04x", c);
            escaped += code;
        } else {
            escaped += static_cast<char>(c);
        }
    }
    return escaped;
}

std::string CliPrinter::hexOf(const uint8_t *data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0xf];
    }
    return text;
}

std::string CliPrinter::textOf(const uint8_t *data, size_t size)
{
    std::string text;
    text.reserve(size);
    for (size_t i = 0; i < size; ++i) {
        text += data[i] >= 0x20 && data[i] < 0x7f ? static_cast<char>(data[i]) : '.';
    }
    return text;
}

void CliPrinter::line(const std::string &text)
{
    fputs(text.c_str(), out);
    fputc('\n', out);
    fflush(out);
}

void CliPrinter::dump(const uint8_t *data, size_t size)
{
    for (size_t at = 0; at < size; at += 16) {
        const size_t n = size - at < 16 ? size - at : 16;
        char offset[32];
        snprintf(offset, sizeof offset, "  %04zx  ", at);
        std::string text = offset;
        for (size_t i = 0; i < 16; ++i) {
            text += i < n ? hexOf(data + at + i, 1) + " " : "   ";
        }
        text += " " + textOf(data + at, n);
        fputs(text.c_str(), out);
        fputc('\n', out);
    }
    fflush(out);
}

void CliPrinter::registered(int id, const std::string &name, const std::string &where)
{
    if (json) {
        line("{\"type\":\"registered\",\"id\":" + std::to_string(id) + ",\"name\":\"" + escape(name) +
             "\",\"hub\":\"" + escape(where) + "\"}");
    } else {
        line("registered as " + hex2(id, 2) + " \"" + name + "\" at " + where);
    }
}

void CliPrinter::subscribed(const std::vector<int> &events)
{
    std::string list;
    for (size_t i = 0; i < events.size(); ++i) {
        list += (i > 0 ? (json ? "," : " ") : "") + std::to_string(events[i]);
    }
    if (json) {
        line("{\"type\":\"subscribed\",\"events\":[" + list + "]}");
    } else {
        line("subscribed to " + list);
    }
}

void CliPrinter::frame(const pellix::FrameView &f)
{
    if (json) {
        line("{\"type\":\"frame\",\"dev\":" + std::to_string(f.devId) + ",\"src\":" + std::to_string(f.srcId) +
             ",\"cmd\":" + std::to_string(f.cmd) + ",\"len\":" + std::to_string(f.len) +
             ",\"size\":" + std::to_string(f.payloadSize) + ",\"hex\":\"" + hexOf(f.payload, f.payloadSize) +
             "\",\"text\":\"" + escape(textOf(f.payload, f.payloadSize)) + "\"}");
        return;
    }
    line("frame  dev " + hex2(f.devId, 2) + "  src " + hex2(f.srcId, 2) + "  cmd " + hex2(f.cmd, 4) + "  len " +
         std::to_string(f.len) + "  payload " + std::to_string(f.payloadSize) + " byte" +
         (f.payloadSize == 1 ? "" : "s"));
    dump(f.payload, f.payloadSize);
}

void CliPrinter::event(int number, const uint8_t *data, size_t size)
{
    if (json) {
        line("{\"type\":\"event\",\"event\":" + std::to_string(number) + ",\"size\":" + std::to_string(size) +
             ",\"hex\":\"" + hexOf(data, size) + "\",\"text\":\"" + escape(textOf(data, size)) + "\"}");
        return;
    }
    line("event " + std::to_string(number) + "  data " + std::to_string(size) + " byte" + (size == 1 ? "" : "s"));
    dump(data, size);
}

void CliPrinter::departure(int moduleId)
{
    if (json) {
        line("{\"type\":\"departure\",\"module\":" + std::to_string(moduleId) + "}");
    } else {
        line("departure of module " + hex2(moduleId, 2));
    }
}

void CliPrinter::connection(bool up)
{
    if (json) {
        line(std::string("{\"type\":\"connection\",\"up\":") + (up ? "true" : "false") + "}");
    } else {
        line(up ? "connection restored, registered and subscribed again" : "connection lost, reconnecting");
    }
}

void CliPrinter::sent(const char *what, int devId, int srcId, int cmd, size_t size, const char *transport)
{
    if (json) {
        line(std::string("{\"type\":\"sent\",\"what\":\"") + what + "\",\"dev\":" + std::to_string(devId) +
             ",\"src\":" + std::to_string(srcId) + ",\"cmd\":" + std::to_string(cmd) +
             ",\"size\":" + std::to_string(size) + ",\"transport\":\"" + transport + "\"}");
    } else {
        line(std::string("sent ") + what + " to " + hex2(devId, 2) + " from " + hex2(srcId, 2) + ", cmd " +
             hex2(cmd, 4) + ", " + std::to_string(size) + " byte" + (size == 1 ? "" : "s") + " of payload, over " +
             transport);
    }
}

void CliPrinter::published(int number, size_t size, const char *transport)
{
    if (json) {
        line("{\"type\":\"published\",\"event\":" + std::to_string(number) + ",\"size\":" + std::to_string(size) +
             ",\"transport\":\"" + transport + "\"}");
    } else {
        line("published event " + std::to_string(number) + " with " + std::to_string(size) + " byte" +
             (size == 1 ? "" : "s") + " of data, over " + transport);
    }
}

void CliPrinter::end(const char *reason, long received)
{
    if (json) {
        line(std::string("{\"type\":\"end\",\"reason\":\"") + reason + "\",\"received\":" +
             std::to_string(received) + "}");
    } else {
        line(std::string("stopped (") + reason + ") after " + std::to_string(received) + " received");
    }
}

} // namespace cli
