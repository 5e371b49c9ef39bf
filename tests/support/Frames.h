#pragma once
// Frames as modules build them, and readable forms of raw bytes for test
// failure messages.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace e2e {

const uint8_t kHubId = 0x01;
const uint8_t kEventMgrId = 0xE1;

const uint16_t kCmdReg = 0x0001;
const uint16_t kCmdHeart = 0x0002;
const uint16_t kCmdDataPrint = 0x0003;
const uint16_t kCmdDumpSocket = 0x0004;
const uint16_t kCmdPublishEvent = 0x0005;
const uint16_t kCmdRegEvent = 0x0006;
const uint16_t kCmdUnregEvent = 0x0007;
const uint16_t kCmdSetDebugLevel = 0x0068;

// "<start>", len = payload size + 6, devId, srcId, cmd, payload, "<end>".
std::string makeFrame(uint8_t dev, uint8_t src, uint16_t cmd, const std::string &payload = std::string());

// The same layout with a len field that need not match the payload.
std::string makeFrameWithLen(uint16_t len, uint8_t dev, uint8_t src, uint16_t cmd, const std::string &payload);

// The delivery of a publication payload to subscriber `dev`.
std::string eventDelivery(uint8_t dev, const std::string &payload);

// Byte values to a string: bytes({0x03, 0x00, 0xAA}).
std::string bytes(std::initializer_list<int> values);

// "3C 73 74 ..." for messages that compare binary data.
std::string hex(const std::string &data);

// One frame as cut from a stream by its markers.
struct CutFrame {
    std::string bytes;
    uint16_t len = 0;
    uint8_t dev = 0;
    uint8_t src = 0;
    uint16_t cmd = 0;
};

// Cuts `stream` into frames from each "<start>" to the next "<end>"; bytes
// outside frames go to `rest` (when given).
std::vector<CutFrame> cutFrames(const std::string &stream, std::string *rest = nullptr);

} // namespace e2e
