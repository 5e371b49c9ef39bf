#pragma once
// A cut frame's header, read once: every handler takes its fields from here
// instead of reading offsets by hand.
//
// decode() checks the frame's size only, not len: the hub routes by the
// markers, and len may claim more payload than the frame holds (or less).
// payloadSize is what the frame really holds; claimedPayload() is len's
// word, never more than the frame holds.

#include <cstddef>

class FrameHeader {
public:
    int len = 0;
    int devId = 0;
    int srcId = 0;
    int cmd = 0;
    const unsigned char *payload = nullptr;
    int payloadSize = 0;

    // False, out untouched, for a frame shorter than the smallest whole one.
    static bool decode(const unsigned char *frame, int size, FrameHeader &out);
    // The payload length len claims, cut to [0, payloadSize].
    int claimedPayload() const;
};
