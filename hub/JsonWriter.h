#pragma once
// Appends JSON text to a string as it goes, without a tree of values: the
// status document is answered to any peer that asks, so it is written with
// a few appends instead of an allocation per member. The writer places the
// commas and escapes strings; keys are the caller's literals, and the
// nesting is the caller's to balance.

#include <cstdint>
#include <string>

class JsonWriter {
public:
    explicit JsonWriter(std::string &text) : out(text) {}

    // key: the member's name inside an object; null for an array element
    // or the document itself.
    void beginObject(const char *key = nullptr) { open(key, '{'); }
    void endObject() { close('}'); }
    void beginArray(const char *key = nullptr) { open(key, '['); }
    void endArray() { close(']'); }

    void text(const char *key, const std::string &value);
    void number(const char *key, int64_t value);
    void unsignedNumber(const char *key, uint64_t value);
    void boolean(const char *key, bool value);
    void null(const char *key);
    // Text that is JSON already (a value this process wrote itself).
    void raw(const char *key, const std::string &json);

private:
    void open(const char *key, char bracket);
    void close(char bracket);
    // The comma before a member or element (but the first), then its key.
    void member(const char *key);

    std::string &out;
    bool first = true; // nothing written yet inside the innermost object or array
};
