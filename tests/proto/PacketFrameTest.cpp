// The wire's encoder and decoders against golden bytes: the frames the hub
// builds, the header as handlers read it, event lists cut to what a payload
// holds, monitor records and status parts within their bounds, and the
// answer that names the size a status datagram needs.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proto/EventList.h"
#include "proto/FrameHeader.h"
#include "proto/MonitorRecord.h"
#include "proto/StatusCollector.h"
#include "proto/PacketFrame.h"
#include "proto/StatusPart.h"
#include "tests/hub/HubTestSupport.h"
#include "tests/support/Frames.h"

namespace {

TEST(PacketFrameTest, FramesCarryLenAndTheirBytesAndTooLargeOnesAreRefused)
{
    std::string frame;
    ASSERT_TRUE(PacketFrame::build(frame, 0x10, CENTER_DEV_ID, CMD_REG, nullptr, 0));
    EXPECT_EQ(frame, bytes({0x3C, 0x73, 0x74, 0x61, 0x72, 0x74, 0x3E, 0x06, 0x00, 0x10, 0x01, 0x01, 0x00, 0x3C, 0x65,
                            0x6E, 0x64, 0x3E}));
    ASSERT_TRUE(PacketFrame::build(frame, 0x11, EVENT_MGR_DEV_ID, CMD_PUBLISH_EVENT, "\x03\x00", 2, "\xAA", 1));
    EXPECT_EQ(frame, "<start>" + bytes({0x09, 0x00, 0x11, 0xE1, 0x05, 0x00, 0x03, 0x00, 0xAA}) + "<end>");

    const std::string largest(PacketFrame::kMaxPayload, 'z');
    ASSERT_TRUE(PacketFrame::build(frame, 0x11, 0xE1, 0x05, largest.data(), largest.size()));
    ASSERT_EQ(frame.size(), 65547u);
    EXPECT_EQ(frame.substr(7, 2), bytes({0xFF, 0xFF}));
    const std::string before = frame;
    EXPECT_FALSE(PacketFrame::append(frame, 0x11, 0xE1, 0x05, largest.data(), largest.size(), "!", 1));
    EXPECT_EQ(frame, before);
}

TEST(FrameHeaderTest, ReadsTheHeaderOnceAndNeverPastTheFrame)
{
    struct Case {
        std::string frame;
        bool ok;
        int len, dev, src, cmd, payload, claimed;
    };
    std::string shortLen = makeFrame(0x20, 0x10, 0x1234, "abcd");
    shortLen[7] = 2; // len below its own 6 header bytes
    std::string longLen = makeFrame(0x20, 0x10, 0x0042, "ab");
    longLen[7] = 0x40; // claims more than the frame holds
    const Case cases[] = {
        {makeFrame(0x20, 0x10, 0x1234, "abcd"), true, 10, 0x20, 0x10, 0x1234, 4, 4},
        {makeFrame(0xE1, 0xFE, 0x0005), true, 6, 0xE1, 0xFE, 5, 0, 0},
        {shortLen, true, 2, 0x20, 0x10, 0x1234, 4, 0},
        {longLen, true, 0x40, 0x20, 0x10, 0x42, 2, 2},
        {"<start>\x06\x00\x10\x20<end>", false, 0, 0, 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        FrameHeader h;
        h.cmd = -1;
        const bool ok = FrameHeader::decode(reinterpret_cast<const unsigned char *>(c.frame.data()),
                                            static_cast<int>(c.frame.size()), h);
        ASSERT_EQ(ok, c.ok) << &c - cases;
        if (!ok) {
            EXPECT_EQ(h.cmd, -1);
            continue;
        }
        EXPECT_EQ(h.len, c.len);
        EXPECT_EQ(h.devId, c.dev);
        EXPECT_EQ(h.srcId, c.src);
        EXPECT_EQ(h.cmd, c.cmd);
        EXPECT_EQ(h.payloadSize, c.payload);
        EXPECT_EQ(h.claimedPayload(), c.claimed);
    }
}

TEST(EventListTest, ListsAreCutToWhatThePayloadHolds)
{
    std::string list;
    EventList::encode(list, {1, 2, 0x1234, 5}, 1, 2);
    EXPECT_EQ(list, bytes({2, 2, 0, 0x34, 0x12}));
    const unsigned char *p = reinterpret_cast<const unsigned char *>(list.data());
    EXPECT_EQ(EventList::listedCount(p, 5), 2);
    EXPECT_EQ(EventList::listedCount(p, 4), 1); // the second number is cut
    EXPECT_EQ(EventList::listedCount(p, 0), 0);
    EXPECT_EQ(EventList::listedEvent(p, 1), 0x1234);
    unsigned char departure[EventList::kDepartureSize];
    EventList::departure(departure, 0x42);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(departure), 3), bytes({0, 0, 0x42}));
}

TEST(MonitorRecordTest, RecordsAndPartsDecodeWithinTheirBounds)
{
    std::string frame;
    MonitorRecord::appendFrame(frame, 0x30, MonitorKind::Forwarded, 0x0102030405060708ull, 0x20, 0x21, 0xABCD, "hello", 5);
    const std::vector<e2e::CutFrame> cut = e2e::cutFrames(frame);
    ASSERT_EQ(1u, cut.size());
    EXPECT_EQ(CMD_MONITOR, cut[0].cmd);
    const std::string payload = frame.substr(PacketFrame::kPayloadOffset, frame.size() - PacketFrame::kMinFrameSize);
    const unsigned char *p = reinterpret_cast<const unsigned char *>(payload.data());
    MonitorRecord r;
    ASSERT_TRUE(MonitorRecord::decode(p, static_cast<int>(payload.size()), r));
    EXPECT_EQ(pellix::wire::kMonitorForwarded, r.kind);
    EXPECT_EQ(0x0102030405060708ull, r.timeUs);
    EXPECT_EQ(0x20, r.devId);
    EXPECT_EQ(0x21, r.srcId);
    EXPECT_EQ(0xABCD, r.cmd);
    EXPECT_EQ(5, r.length);
    EXPECT_EQ("hello", std::string(reinterpret_cast<const char *>(r.payload), r.payloadSize));
    EXPECT_FALSE(MonitorRecord::decode(p, MonitorRecord::kHeaderSize - 1, r));
    uint64_t lost = 0;
    EXPECT_FALSE(MonitorRecord::lostCount(r, lost)); // 5 bytes carried, not 8
    EXPECT_STREQ("lost", MonitorRecord::kindName(pellix::wire::kMonitorLost));
    EXPECT_STREQ("refused", MonitorRecord::kindName(pellix::wire::kMonitorRefused));
    EXPECT_EQ(nullptr, MonitorRecord::kindName(8));

    const struct {
        std::string payload;
        bool ok;
    } parts[] = {
        {bytes({1, 0, 2, 0}) + "ab", true}, {bytes({2, 0, 2, 0}), true},  {bytes({1, 0, 2}), false},
        {bytes({0, 0, 2, 0}), false},       {bytes({3, 0, 2, 0}), false}, {bytes({1, 0, 0, 0}), false},
    };
    for (const auto &c : parts) {
        StatusPart decoded;
        EXPECT_EQ(c.ok, StatusPart::decode(reinterpret_cast<const unsigned char *>(c.payload.data()),
                                           static_cast<int>(c.payload.size()), decoded))
            << e2e::hex(c.payload);
    }
    std::string frames;
    ASSERT_TRUE(StatusPart::appendFrames(frames, 0x30, std::string(2500, 'x'), 1024));
    EXPECT_EQ(3u, e2e::cutFrames(frames).size());
    EXPECT_FALSE(StatusPart::appendFrames(frames, 0x30, std::string(70000, 'x'), 1)); // more than 65535 parts
}

TEST(StatusCollectorTest, JunkIsIgnoredAndTheSizeIsBounded)
{
    StatusCollector collector(10);
    auto add = [&](int number, int count, const std::string &text) {
        const std::string payload = bytes({number, 0, count, 0}) + text;
        return collector.add(reinterpret_cast<const unsigned char *>(payload.data()), static_cast<int>(payload.size()));
    };
    EXPECT_EQ(StatusCollector::Ignored, add(2, 2, "late"));
    EXPECT_EQ(StatusCollector::Partial, add(1, 2, "old"));
    EXPECT_EQ(StatusCollector::Partial, add(1, 3, "{\"a\""));  // a part 1 starts over
    EXPECT_EQ(StatusCollector::Ignored, add(3, 3, "}"));       // out of order
    EXPECT_EQ(StatusCollector::Ignored, add(2, 2, ":1"));      // another count
    EXPECT_EQ(StatusCollector::Partial, add(2, 3, ":1"));
    EXPECT_EQ(StatusCollector::Complete, add(3, 3, "}"));
    EXPECT_EQ("{\"a\":1}", collector.text());
    EXPECT_EQ(StatusCollector::TooLarge, add(1, 1, std::string(11, 'x')));
}

TEST(StatusPartTest, OnlyTheNeedBytesAnswerItselfReadsAsOne)
{
    const struct {
        const char *text;
        bool refusal;
        unsigned long long bytes;
    } cases[] = {
        {"{\"needBytes\":9000}", true, 9000},
        {" {\r\n\"needBytes\" :\t12 }\n", true, 12},
        {"{\"needBytes\":9999999999999999999}", false, 0}, // more digits than are ever meant
        {"{\"needBytes\":9000,\"version\":\"x\"}", false, 0},
        {"{\"needBytes\":-1}", false, 0},
        {"{\"needBytes\":1e3}", false, 0},
        {"{\"needBytes\":\"9\"}", false, 0},
        {"{\"needBytes\":9000", false, 0},
        {"{\"needBytes\":9000}}", false, 0},
        {"[\"needBytes\",9000]", false, 0},
    };
    for (const auto &c : cases) {
        unsigned long long bytes = 0;
        EXPECT_EQ(c.refusal, StatusPart::needBytes(c.text, bytes)) << c.text;
        EXPECT_EQ(c.bytes, bytes) << c.text;
    }
}

TEST(StatusPartTest, TheNeedBytesAnswerIsWrittenAsItIsRead)
{
    unsigned long long n = 0;
    EXPECT_EQ(StatusPart::needBytesDocument(5236), "{\"needBytes\":5236}");
    EXPECT_TRUE(StatusPart::needBytes(StatusPart::needBytesDocument(5236), n));
    EXPECT_EQ(n, 5236u);
}

} // namespace
