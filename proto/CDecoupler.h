#pragma once
// Cuts a received byte stream into frames, from a start marker to the first
// end marker after it.
//
// The buffer is read through an offset and compacted at most once per
// append, and every byte is searched at most once for each marker, so
// cutting is linear in the bytes received however they are chunked. The
// buffer is bounded: without a start marker only a tail that could begin one
// is kept, and a start marker with no end marker within the largest possible
// frame is dropped so that the search goes on from the next one.

#include <cstddef>
#include <string>

class CDecoupler {
public:
    CDecoupler(const std::string &startMark, const std::string &endMark,
               size_t maxFrameSize = kDefaultMaxFrameSize);

    static const size_t kDefaultMaxFrameSize = 18 + 65529;
    // Capacity a splitter keeps once it has nothing left to cut: a large
    // frame, once cut, must not keep its memory for the connection's life.
    static constexpr size_t kKeptCapacity = 16384;

    void append(const void *data, int count);
    // 0 and one whole frame, markers included, in out; -1 when no start
    // marker is buffered; -2 when a start marker waits for its end marker.
    int nextFrame(std::string &out);
    // The same, without a copy: the frame is left where it lies in the
    // buffer, and frame and size stay valid until the next append or
    // nextFrame.
    int nextFrame(const unsigned char *&frame, size_t &size);

    // The bytes not yet consumed.
    std::string buffered() const { return buffer.substr(readPos); }
    size_t bufferedSize() const { return buffer.size() - readPos; }
    size_t capacity() const { return buffer.capacity(); }

private:
    size_t find(const std::string &mark, size_t from, size_t to) const;
    void keepStartMarkTail();

    std::string buffer;
    std::string startMark;
    std::string endMark;
    size_t maxFrameSize;
    size_t readPos = 0;       // first unconsumed byte
    bool startFound = false;  // a start marker sits at readPos
    size_t endScanFrom = 0;   // no end marker begins before this position
};
