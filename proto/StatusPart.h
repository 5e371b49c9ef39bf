#pragma once
// The parts of a status answer (CMD_STATUS): the JSON document in pieces,
// each payload
//
//   part number 1..count (u16 LE) | count (u16 LE) | next piece of text
//
// and the one-part answer to a datagram too small for the document,
// {"needBytes":N}. Readers take these bytes from a socket: every decoder
// checks bounds.

#include <cstddef>
#include <string>

#include <pellix/Wire.h>

struct StatusPart {
    static const int kHeaderSize = pellix::wire::kStatusPartHeaderSize;
    static const int kMaxCount = pellix::wire::kMaxStatusParts;

    int part = 0;
    int count = 0;
    const unsigned char *text = nullptr; // points into the decoded bytes
    int textSize = 0;

    // False, out untouched, for a payload shorter than the header or with
    // part 0, count 0 or part > count.
    static bool decode(const unsigned char *data, int size, StatusPart &out);
    // Appends the frames (0x01 -> devId, CMD_STATUS) of a whole document cut
    // into pieces of at most maxText bytes (an empty document is one empty
    // part). False, out untouched, when it needs more than kMaxCount parts
    // or maxText does not fit a frame.
    static bool appendFrames(std::string &out, int devId, const std::string &text, size_t maxText);
    // One part's frame, for a reply sent one datagram at a time.
    static bool appendFrame(std::string &out, int devId, int part, int count, const void *text, size_t size);
    static int partCount(size_t textSize, size_t maxText);

    // The answer that names the size a request datagram must have.
    static std::string needBytesDocument(size_t bytes);
    // True, with the size, when text is exactly such an answer; read by
    // hand, without a JSON parser, so that nothing else passes for it.
    static bool needBytes(const std::string &text, unsigned long long &bytes);
};
