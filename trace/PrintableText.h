#pragma once
// Text from the network (module names above all) on its way to a console,
// a log record or a table: any bytes, any length.

#include <cstddef>
#include <string>

class PrintableText {
public:
    // What is printed of a name at most, before escaping.
    static constexpr size_t kMaxPrintedBytes = 64;

    // The text with control bytes, DEL, backslash and the two-byte UTF-8
    // form of a C1 control written as \xHH, so that it can neither forge a
    // record nor drive a terminal. Longer than maxBytes, it is cut there
    // and its full length follows as "...(N bytes)", so that a huge name
    // cannot flood a log. Plain short text comes out unchanged.
    static std::string escape(const std::string &text, size_t maxBytes = kMaxPrintedBytes);
};
