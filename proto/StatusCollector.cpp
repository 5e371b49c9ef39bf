#include "proto/StatusCollector.h"

#include "proto/StatusPart.h"

void StatusCollector::reset()
{
    document.clear();
    nextPart = 0;
    count = 0;
}

StatusCollector::Outcome StatusCollector::add(const unsigned char *data, int size)
{
    StatusPart part;
    if (!StatusPart::decode(data, size, part)) {
        return Ignored;
    }
    if (part.part == 1) {
        reset();
        count = part.count;
    } else if (nextPart != part.part || count != part.count) {
        return Ignored;
    }
    if (document.size() + static_cast<size_t>(part.textSize) > maxBytes) {
        reset();
        return TooLarge;
    }
    document.append(reinterpret_cast<const char *>(part.text), static_cast<size_t>(part.textSize));
    if (part.part == count) {
        nextPart = 0;
        return Complete;
    }
    nextPart = part.part + 1;
    return Partial;
}
