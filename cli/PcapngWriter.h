#pragma once
// A pcapng file of the hub's monitor records, for Wireshark: one section,
// one interface of link type 252 (LINKTYPE_WIRESHARK_UPPER_PDU), and one
// enhanced packet block per record, stamped with the time the hub routed
// the frame (microseconds, the format's default resolution).
//
// Each packet is an exported PDU: a tag naming the dissector, so that
// Wireshark hands the bytes to it without any setting of the user's, then
// the monitor record as the hub sent it (kind, time, devId, srcId, cmd, the
// payload's length, the payload as far as the record carries it). A record
// whose payload was cut gets a captured length below its original length,
// as a snapshot length would give it. Writes are flushed per packet, so that
// a reader on a pipe sees each record when it happens.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace cli {

class PcapngWriter {
public:
    // Link type of exported PDUs, and the tags this writer puts in front of
    // every packet.
    static const uint32_t kLinkTypeUpperPdu = 252;
    static const uint16_t kTagEnd = 0;
    static const uint16_t kTagDissectorName = 12;

    // Writes to out (not owned); packets name the dissector `dissector`.
    PcapngWriter(FILE *out, std::string dissector);

    // The section header (application) and the interface (its name and
    // description); false when the write failed (errno tells why).
    bool begin(const std::string &application, const std::string &interfaceName);
    // One packet: `size` bytes of data that stood for `originalSize` bytes.
    bool packet(uint64_t timeUs, const void *data, size_t size, size_t originalSize);

private:
    bool block(uint32_t type, const std::string &body);

    FILE *out;
    std::string tags; // the exported PDU tags of every packet
};

} // namespace cli
