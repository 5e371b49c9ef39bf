#include "cli/PcapngWriter.h"

#include <utility>

namespace cli {

namespace {

// pcapng is written in the host's byte order, which the byte-order magic
// tells the reader; exported PDU tags are big-endian whatever the host.
template <typename T> void put(std::string &out, T value)
{
    out.append(reinterpret_cast<const char *>(&value), sizeof value);
}

void putBig16(std::string &out, uint16_t value)
{
    out += static_cast<char>(value >> 8);
    out += static_cast<char>(value & 0xff);
}

void pad4(std::string &out)
{
    out.append((4 - out.size() % 4) % 4, '\0');
}

// An option: code, length, value padded to 32 bits.
void option(std::string &out, uint16_t code, const std::string &value)
{
    put<uint16_t>(out, code);
    put<uint16_t>(out, static_cast<uint16_t>(value.size()));
    out += value;
    pad4(out);
}

void endOfOptions(std::string &out)
{
    put<uint32_t>(out, 0);
}

} // namespace

PcapngWriter::PcapngWriter(FILE *stream, std::string dissector) : out(stream)
{
    // The name NUL-terminated and padded to 32 bits, its length counting the padding.
    std::string name = std::move(dissector);
    name += '\0';
    pad4(name);
    putBig16(tags, kTagDissectorName);
    putBig16(tags, static_cast<uint16_t>(name.size()));
    tags += name;
    putBig16(tags, kTagEnd);
    putBig16(tags, 0);
}

bool PcapngWriter::block(uint32_t type, const std::string &body)
{
    const uint32_t total = static_cast<uint32_t>(12 + body.size());
    std::string whole;
    whole.reserve(total);
    put<uint32_t>(whole, type);
    put<uint32_t>(whole, total);
    whole += body;
    put<uint32_t>(whole, total);
    return fwrite(whole.data(), 1, whole.size(), out) == whole.size() && fflush(out) == 0;
}

bool PcapngWriter::begin(const std::string &application, const std::string &interfaceName)
{
    std::string section;
    put<uint32_t>(section, 0x1A2B3C4D); // byte-order magic
    put<uint16_t>(section, 1);          // version 1.0
    put<uint16_t>(section, 0);
    put<int64_t>(section, -1); // section length not given
    option(section, 4, application); // shb_userappl
    endOfOptions(section);

    std::string interface;
    put<uint16_t>(interface, static_cast<uint16_t>(kLinkTypeUpperPdu));
    put<uint16_t>(interface, 0);
    put<uint32_t>(interface, 0); // no snapshot length
    option(interface, 2, interfaceName); // if_name
    endOfOptions(interface);
    return block(0x0A0D0D0A, section) && block(1, interface);
}

bool PcapngWriter::packet(uint64_t timeUs, const void *data, size_t size, size_t originalSize)
{
    std::string body;
    const size_t captured = tags.size() + size;
    body.reserve(20 + captured + 4);
    put<uint32_t>(body, 0); // interface 0
    put<uint32_t>(body, static_cast<uint32_t>(timeUs >> 32));
    put<uint32_t>(body, static_cast<uint32_t>(timeUs & 0xffffffffu));
    put<uint32_t>(body, static_cast<uint32_t>(captured));
    put<uint32_t>(body, static_cast<uint32_t>(tags.size() + (originalSize > size ? originalSize : size)));
    body += tags;
    body.append(static_cast<const char *>(data), size);
    pad4(body);
    return block(6, body);
}

} // namespace cli
