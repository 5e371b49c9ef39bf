#include "trace/PrintableText.h"

#include <cstdio>

namespace {

void appendEscaped(std::string &out, unsigned char c)
{
    char escaped[5];
    snprintf(escaped, sizeof escaped, "\\x%02x", c);
    out += escaped;
}

} // namespace

std::string PrintableText::escape(const std::string &text, size_t maxBytes)
{
    const size_t shown = text.size() < maxBytes ? text.size() : maxBytes;
    // Most names are plain and short: they go out as they came, in one copy.
    size_t plain = 0;
    while (plain < shown) {
        const unsigned char c = static_cast<unsigned char>(text[plain]);
        if (c < 0x20 || c >= 0x7f || c == '\\') {
            break;
        }
        ++plain;
    }
    if (plain == text.size()) {
        return text;
    }
    std::string out;
    out.reserve(shown + 24);
    for (size_t i = 0; i < shown; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        // U+0080 to U+009F: some terminals obey them as controls.
        const bool c1 = c == 0xc2 && i + 1 < shown && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9f;
        if (c < 0x20 || c == 0x7f || c == '\\') {
            appendEscaped(out, c);
        } else if (c1) {
            appendEscaped(out, c);
            appendEscaped(out, static_cast<unsigned char>(text[++i]));
        } else {
            out += static_cast<char>(c);
        }
    }
    if (shown < text.size()) {
        out += "...(" + std::to_string(text.size()) + " bytes)";
    }
    return out;
}
