// What the tool writes without a hub: the pcapng layout of a capture, byte
// for byte, and the OpenMetrics text of hostile status documents.

#include <gtest/gtest.h>

#include <json/json.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/OpenMetrics.h"
#include "cli/PcapngWriter.h"
#include "tests/support/Frames.h"

namespace programs {
namespace {

std::string le32(uint32_t v)
{
    return std::string{static_cast<char>(v & 0xff), static_cast<char>(v >> 8 & 0xff), static_cast<char>(v >> 16 & 0xff),
                       static_cast<char>(v >> 24)};
}

TEST(CliViews, PcapngBlocksAsWiresharkReadsThem)
{
    char *buffer = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&buffer, &size);
    ASSERT_NE(nullptr, out);
    cli::PcapngWriter writer(out, "pellix");
    ASSERT_TRUE(writer.begin("app", "if0"));
    const size_t header = size;
    const uint64_t timeUs = 0x0123456789ULL;
    ASSERT_TRUE(writer.packet(timeUs, "\x01record", 7, 20));
    fclose(out);
    const std::string file(buffer, size);
    free(buffer);

    // Section header: type, length, byte-order magic, version 1.0, length unknown,
    // shb_userappl "app" padded, end of options, length again.
    const std::string section = le32(0x0A0D0D0A) + le32(40) + le32(0x1A2B3C4D) + e2e::bytes({1, 0, 0, 0}) +
                                std::string(8, '\xff') + e2e::bytes({4, 0, 3, 0}) + "app" + std::string(1, '\0') +
                                le32(0) + le32(40);
    EXPECT_EQ(e2e::hex(section), e2e::hex(file.substr(0, 40)));
    // Interface: link type 252, no snapshot length, if_name "if0".
    EXPECT_EQ(e2e::hex(le32(1) + le32(32) + e2e::bytes({252, 0, 0, 0}) + le32(0) + e2e::bytes({2, 0, 3, 0}) + "if0" +
                       std::string(1, '\0') + le32(0) + le32(32)),
              e2e::hex(file.substr(40, header - 40)));
    // Packet: the dissector's name tag (big-endian, padded), the end tag, the
    // record padded to 32 bits; captured 16 + 7, original 16 + 20.
    const std::string tags = e2e::bytes({0, 12, 0, 8}) + "pellix" + std::string(2, '\0') + e2e::bytes({0, 0, 0, 0});
    const std::string packet = le32(6) + le32(56) + le32(0) + le32(0x01) + le32(0x23456789) + le32(23) + le32(36) +
                               tags + "\x01record" + std::string(1, '\0') + le32(56);
    EXPECT_EQ(e2e::hex(packet), e2e::hex(file.substr(header)));
}

std::vector<std::string> linesOf(const std::string &text)
{
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

TEST(CliViews, OpenMetricsOfAHostileDocument)
{
    Json::Value doc;
    doc["version"] = "0.1\"\n";
    doc["uptimeMs"] = 1500;
    doc["totals"]["framesIn"] = "many"; // not a number: no sample
    doc["totals"]["bytesIn"] = 1e300 * 1e10; // not finite
    doc["totals"]["dropped"]["short"] = 2;
    Json::Value c;
    c["fd"] = 7;
    c["ids"].append(16);
    c["ids"].append(300); // no module id
    c["ids"].append(17);
    c["name"] = std::string("a\"b\\c\nd\xc3\xa9", 9);
    c["transport"] = "tcp";
    c["framesIn"] = 3;
    c["idleMs"] = 250;
    doc["connections"].append(c);
    doc["connections"].append("not an object");
    Json::Value e;
    e["event"] = 3;
    e["subscribers"].append(16);
    doc["events"].append(e);
    doc["events"].append(Json::Value(5));

    const std::string text = cli::renderOpenMetrics(doc);
    const std::vector<std::string> lines = linesOf(text);
    EXPECT_EQ("# EOF", lines.back());
    EXPECT_NE(std::string::npos, text.find("pellix_info{version=\"0.1\\\".\"} 1\n")) << text;
    EXPECT_NE(std::string::npos, text.find("pellix_uptime_seconds 1.5\n")) << text;
    EXPECT_NE(std::string::npos, text.find("pellix_dropped_frames_total{reason=\"short\"} 2\n")) << text;
    EXPECT_NE(std::string::npos,
              text.find("pellix_connection_received_frames_total{fd=\"7\",module=\"0x10,0x11\",name=\"a\\\"b\\\\c.d..\","
                        "transport=\"tcp\"} 3\n"))
        << text;
    EXPECT_NE(std::string::npos, text.find("pellix_connection_idle_seconds{fd=\"7\"")) << text;
    EXPECT_NE(std::string::npos, text.find("pellix_event_subscribers{event=\"3\"} 1\n")) << text;
    // Every sample belongs to the family announced last, counters end in
    // _total, and nothing that is not a number became one.
    std::string family;
    std::string type;
    for (const std::string &line : lines) {
        if (line.compare(0, 7, "# TYPE ") == 0) {
            family = line.substr(7, line.rfind(' ') - 7);
            type = line.substr(line.rfind(' ') + 1);
            continue;
        }
        if (line[0] == '#') {
            continue;
        }
        const std::string name = line.substr(0, line.find_first_of("{ "));
        EXPECT_EQ(0u, name.find(family)) << line;
        EXPECT_TRUE(type != "counter" || name == family + "_total") << line;
        EXPECT_TRUE(type != "info" || name == family + "_info") << line;
        const std::string value = line.substr(line.rfind(' ') + 1);
        char *end = nullptr;
        EXPECT_TRUE(std::isfinite(strtod(value.c_str(), &end)) && *end == '\0') << line;
    }
    EXPECT_EQ(std::string::npos, text.find("pellix_received_frames_total")) << "a string is no count";
}

} // namespace
} // namespace programs
