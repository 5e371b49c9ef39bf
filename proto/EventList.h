#pragma once
// The payloads of the event commands:
// - subscription lists (CMD_REG_EVENT, CMD_UNREG_EVENT): a count byte, then
//   that many 16-bit little-endian event numbers;
// - a publication: its 16-bit event number, then the data;
// - the departure of a module, published by the hub as event 0: 00 00, its id.
// Readers take these bytes from a socket and check every bound.

#include <cstddef>
#include <string>
#include <vector>

#include <pellix/Wire.h>

class EventList {
public:
    static const int kDepartureSize = pellix::wire::kDepartureSize;

    // The list of events[from, from + count) into out.
    static void encode(std::string &out, const std::vector<int> &events, size_t from, size_t count);
    // The numbers of a received list that lie inside its payload (a count
    // that claims more is cut to what is there), and the i-th of them.
    static int listedCount(const unsigned char *payload, int length);
    static int listedEvent(const unsigned char *payload, int index);
    // The 16-bit event number that leads a publication's payload.
    static void eventNumber(unsigned char out[2], int event);
    static void departure(unsigned char out[kDepartureSize], int moduleId);
};
