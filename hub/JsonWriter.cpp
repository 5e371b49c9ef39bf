#include "hub/JsonWriter.h"

#include <cinttypes>
#include <cstdio>

void JsonWriter::open(const char *key, char bracket)
{
    member(key);
    out += bracket;
    first = true;
}

void JsonWriter::close(char bracket)
{
    out += bracket;
    first = false;
}

void JsonWriter::member(const char *key)
{
    if (!first) {
        out += ',';
    }
    first = false;
    if (key != nullptr) {
        out += '"';
        out += key;
        out += "\":";
    }
}

void JsonWriter::text(const char *key, const std::string &value)
{
    member(key);
    out += '"';
    for (const char c : value) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7f) {
            // Bytes beyond ASCII are taken one by one, so the document
            // stays valid whatever a string holds.
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

void JsonWriter::number(const char *key, int64_t value)
{
    member(key);
    char digits[24];
    snprintf(digits, sizeof digits, "%" PRId64, value);
    out += digits;
}

void JsonWriter::unsignedNumber(const char *key, uint64_t value)
{
    member(key);
    char digits[24];
    snprintf(digits, sizeof digits, "%" PRIu64, value);
    out += digits;
}

void JsonWriter::boolean(const char *key, bool value)
{
    member(key);
    out += value ? "true" : "false";
}

void JsonWriter::null(const char *key)
{
    member(key);
    out += "null";
}

void JsonWriter::raw(const char *key, const std::string &json)
{
    member(key);
    out += json;
}
