#include "proto/StatusPart.h"

#include <algorithm>
#include <cstring>

#include "proto/PacketFrame.h"

namespace {

void putU16LE(unsigned char *out, int value)
{
    out[0] = static_cast<unsigned char>(value & 0xff);
    out[1] = static_cast<unsigned char>((value >> 8) & 0xff);
}

} // namespace

bool StatusPart::decode(const unsigned char *data, int size, StatusPart &out)
{
    int part = 0;
    int count = 0;
    if (!PacketFrame::readU16LE(data, size, 0, part) || !PacketFrame::readU16LE(data, size, 2, count) ||
        part == 0 || count == 0 || part > count) {
        return false;
    }
    out.part = part;
    out.count = count;
    out.text = data + kHeaderSize;
    out.textSize = size - kHeaderSize;
    return true;
}

int StatusPart::partCount(size_t textSize, size_t maxText)
{
    if (maxText == 0) {
        return 0;
    }
    const size_t parts = textSize == 0 ? 1 : (textSize + maxText - 1) / maxText;
    return parts > static_cast<size_t>(kMaxCount) ? 0 : static_cast<int>(parts);
}

bool StatusPart::appendFrame(std::string &out, int devId, int part, int count, const void *text, size_t size)
{
    if (part < 1 || count < part || count > kMaxCount) {
        return false;
    }
    unsigned char head[kHeaderSize];
    putU16LE(head, part);
    putU16LE(head + 2, count);
    return PacketFrame::append(out, devId, CENTER_DEV_ID, CMD_STATUS, head, sizeof head, text, size);
}

bool StatusPart::appendFrames(std::string &out, int devId, const std::string &text, size_t maxText)
{
    const int count = partCount(text.size(), maxText);
    if (count == 0 || maxText > static_cast<size_t>(PacketFrame::kMaxPayload - kHeaderSize)) {
        return false;
    }
    const size_t before = out.size();
    for (int part = 1; part <= count; ++part) {
        const size_t from = static_cast<size_t>(part - 1) * maxText;
        const size_t size = std::min(maxText, text.size() - from);
        if (!appendFrame(out, devId, part, count, text.data() + from, size)) {
            out.resize(before);
            return false;
        }
    }
    return true;
}

std::string StatusPart::needBytesDocument(size_t bytes)
{
    return "{\"needBytes\":" + std::to_string(bytes) + "}";
}

bool StatusPart::needBytes(const std::string &text, unsigned long long &bytes)
{
    size_t at = 0;
    auto take = [&](const char *word) {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' || text[at] == '\n')) {
            ++at;
        }
        const size_t n = strlen(word);
        if (text.compare(at, n, word) != 0) {
            return false;
        }
        at += n;
        return true;
    };
    if (!take("{") || !take("\"needBytes\"") || !take(":") || !take("")) {
        return false;
    }
    unsigned long long value = 0;
    const size_t first = at;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && at - first < 18; ++at) {
        value = value * 10 + static_cast<unsigned>(text[at] - '0');
    }
    if (at == first || !take("}") || !take("") || at != text.size()) {
        return false;
    }
    bytes = value;
    return true;
}
