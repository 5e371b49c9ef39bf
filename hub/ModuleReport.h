#pragma once
// What a module tells about itself (CMD_REPORT): one JSON object of at most
// PacketFrame::kMaxReportBytes of printable ASCII, kept with its connection
// and shown under it in the status document. The hub keeps the compact text
// it wrote back after parsing, never the module's own bytes.

#include <cstddef>
#include <string>

class ModuleReport {
public:
    // The compact form of payload in out, or false with why.
    static bool normalise(const unsigned char *payload, size_t size, std::string &out, std::string &why);
};
