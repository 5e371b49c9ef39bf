#include "tests/support/StatusRequest.h"

#include <algorithm>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "proto/MonitorRecord.h"
#include "proto/StatusPart.h"
#include "proto/StatusCollector.h"
#include "proto/PacketFrame.h"
#include "tests/support/Frames.h"

namespace e2e {

Json::Value requestStatus(ModuleClient &client, size_t *largestPart, int *parts, size_t requestBytes)
{
    const size_t padding = requestBytes > PacketFrame::kMinFrameSize ? requestBytes - PacketFrame::kMinFrameSize : 0;
    EXPECT_TRUE(client.send(makeFrame(kHubId, 0x7E, CMD_STATUS, std::string(padding, '\0'))));
    StatusCollector collector;
    std::string stream;
    for (int waited = 0; waited < kReplyTimeoutMs; waited += 100) {
        stream += client.readFor(100);
        std::string rest;
        const std::vector<CutFrame> frames = cutFrames(stream, &rest);
        collector.reset();
        for (const CutFrame &frame : frames) {
            EXPECT_EQ(0x7E, frame.dev);
            EXPECT_EQ(static_cast<uint16_t>(CMD_STATUS), frame.cmd);
            const std::string payload = frame.bytes.substr(13, frame.bytes.size() - 18);
            if (largestPart != nullptr) {
                *largestPart = std::max(*largestPart, payload.size() - StatusPart::kHeaderSize);
            }
            StatusPart part;
            if (parts != nullptr && StatusPart::decode(reinterpret_cast<const unsigned char *>(payload.data()),
                                                       static_cast<int>(payload.size()), part)) {
                *parts = part.count;
            }
            if (collector.add(reinterpret_cast<const unsigned char *>(payload.data()),
                              static_cast<int>(payload.size())) == StatusCollector::Complete) {
                Json::Value doc;
                std::string errors;
                std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
                const std::string &text = collector.text();
                EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &doc, &errors)) << errors;
                return doc;
            }
        }
    }
    ADD_FAILURE() << "no whole status reply; got " << stream.size() << " bytes";
    return Json::Value();
}

const Json::Value *connectionWithId(const Json::Value &doc, int id)
{
    for (const Json::Value &connection : doc["connections"]) {
        for (const Json::Value &held : connection["ids"]) {
            if (held.asInt() == id) {
                return &connection;
            }
        }
    }
    return nullptr;
}

} // namespace e2e
