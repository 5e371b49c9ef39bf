#include "proto/EventList.h"

void EventList::encode(std::string &out, const std::vector<int> &events, size_t from, size_t count)
{
    out.resize(1 + 2 * count);
    out[0] = static_cast<char>(count);
    for (size_t i = 0; i < count; ++i) {
        const int event = events[from + i];
        out[1 + 2 * i] = static_cast<char>(event & 0xff);
        out[2 + 2 * i] = static_cast<char>((event >> 8) & 0xff);
    }
}

int EventList::listedCount(const unsigned char *payload, int length)
{
    if (payload == nullptr || length < 1) {
        return 0;
    }
    const int there = (length - 1) / 2;
    return payload[0] < there ? payload[0] : there;
}

int EventList::listedEvent(const unsigned char *payload, int index)
{
    return payload[1 + 2 * index] | (payload[2 + 2 * index] << 8);
}

void EventList::eventNumber(unsigned char out[2], int event)
{
    out[0] = static_cast<unsigned char>(event & 0xff);
    out[1] = static_cast<unsigned char>((event >> 8) & 0xff);
}

void EventList::departure(unsigned char out[kDepartureSize], int moduleId)
{
    out[0] = 0x00;
    out[1] = 0x00;
    out[2] = static_cast<unsigned char>(moduleId);
}
