#include "proto/CDecoupler.h"

#include <cstring>

#include "trace/Trace.h"

CDecoupler::CDecoupler(const std::string &start, const std::string &end, size_t maxFrame)
    : startMark(start), endMark(end), maxFrameSize(maxFrame)
{
    if (maxFrameSize < startMark.size() + endMark.size()) {
        maxFrameSize = startMark.size() + endMark.size();
    }
}

void CDecoupler::append(const void *data, int count)
{
    if (data == nullptr || count <= 0) {
        return;
    }
    // Compact only when the consumed part outweighs what is left, so that
    // each byte is moved a bounded number of times.
    if (readPos > 0 && readPos * 2 >= buffer.size()) {
        buffer.erase(0, readPos);
        endScanFrom = endScanFrom > readPos ? endScanFrom - readPos : 0;
        readPos = 0;
    }
    buffer.append(static_cast<const char *>(data), static_cast<size_t>(count));
}

size_t CDecoupler::find(const std::string &mark, size_t from, size_t to) const
{
    if (to > buffer.size()) {
        to = buffer.size();
    }
    if (mark.empty() || from >= to || to - from < mark.size()) {
        return std::string::npos;
    }
    const void *hit = memmem(buffer.data() + from, to - from, mark.data(), mark.size());
    return hit == nullptr ? std::string::npos : static_cast<size_t>(static_cast<const char *>(hit) - buffer.data());
}

// Without a start marker, only the longest tail that is a beginning of one
// can still matter.
void CDecoupler::keepStartMarkTail()
{
    const size_t available = buffer.size() - readPos;
    size_t keep = startMark.size() - 1 < available ? startMark.size() - 1 : available;
    for (; keep > 0; --keep) {
        if (memcmp(buffer.data() + buffer.size() - keep, startMark.data(), keep) == 0) {
            break;
        }
    }
    if (buffer.capacity() > kKeptCapacity) {
        // At most a marker's beginning is left: it fits a string without
        // an allocation of its own, and the large buffer goes.
        std::string tail(buffer, buffer.size() - keep);
        buffer.swap(tail);
        readPos = 0;
        endScanFrom = 0;
        return;
    }
    readPos = buffer.size() - keep;
    if (readPos == buffer.size()) {
        // Positions restart at 0: what was searched for an end marker
        // belonged to the bytes just dropped.
        buffer.clear();
        readPos = 0;
        endScanFrom = 0;
    }
}

int CDecoupler::nextFrame(std::string &out)
{
    const unsigned char *frame = nullptr;
    size_t size = 0;
    const int result = nextFrame(frame, size);
    if (result == 0) {
        out.assign(reinterpret_cast<const char *>(frame), size);
    }
    return result;
}

int CDecoupler::nextFrame(const unsigned char *&frame, size_t &size)
{
    // A stream of start markers without end markers would otherwise write
    // one line per marker dropped.
    bool dropTraced = false;
    for (;;) {
        if (!startFound) {
            const size_t start = find(startMark, readPos, buffer.size());
            if (start == std::string::npos) {
                keepStartMarkTail();
                return -1;
            }
            // Bytes in front of a start marker are never part of a frame.
            readPos = start;
            startFound = true;
        }
        const size_t bodyFrom = readPos + startMark.size();
        if (endScanFrom < bodyFrom) {
            endScanFrom = bodyFrom;
        }
        const size_t windowEnd = readPos + maxFrameSize;
        const size_t end = find(endMark, endScanFrom, windowEnd);
        if (end == std::string::npos) {
            if (buffer.size() >= windowEnd) {
                if (!dropTraced) {
                    tm_printf(TRACE_WARM, "nextFrame", __LINE__,
                              "no end marker within %zu bytes of a start marker, dropping it\n", maxFrameSize);
                    dropTraced = true;
                }
                // Everything before the window's last possible end marker
                // has been searched; the next start resumes after it.
                const size_t searched = windowEnd - endMark.size() + 1;
                if (endScanFrom < searched) {
                    endScanFrom = searched;
                }
                readPos = bodyFrom;
                startFound = false;
                continue;
            }
            // An end marker may still straddle the next append.
            if (buffer.size() >= endMark.size() - 1 && buffer.size() - (endMark.size() - 1) > endScanFrom) {
                endScanFrom = buffer.size() - (endMark.size() - 1);
            }
            return -2;
        }
        const size_t frameEnd = end + endMark.size();
        if (startMark == endMark && frameEnd - readPos == 2 * startMark.size()) {
            // Two touching identical markers: the first one closed an
            // earlier frame.
            readPos = bodyFrom;
            startFound = false;
            continue;
        }
        frame = reinterpret_cast<const unsigned char *>(buffer.data()) + readPos;
        size = frameEnd - readPos;
        // The frame stays in the buffer for the caller: an emptied buffer
        // is reset by the next append or nextFrame.
        readPos = frameEnd;
        startFound = false;
        endScanFrom = frameEnd;
        return 0;
    }
}
