#pragma once
// Puts a status reply together from its parts as they arrive. A part 1
// starts over; any other part counts only when it is the next one of the
// reply begun, with the same count, so stray or repeated parts are ignored.

#include <cstddef>
#include <string>

class StatusCollector {
public:
    static const size_t kDefaultMaxBytes = 16u << 20;
    explicit StatusCollector(size_t limit = kDefaultMaxBytes) : maxBytes(limit) {}

    enum Outcome { Ignored, Partial, Complete, TooLarge };
    // Takes one CMD_STATUS payload. Complete: text() holds the document.
    // TooLarge: the reply passed maxBytes and was abandoned.
    Outcome add(const unsigned char *data, int size);
    const std::string &text() const { return document; }
    void reset();

private:
    size_t maxBytes;
    std::string document;
    int nextPart = 0; // 0: no reply begun
    int count = 0;
};
